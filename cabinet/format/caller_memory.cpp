#include "cabinet/format/caller_memory.h"

#include <cstdlib>

namespace cab {

namespace {

void *DIAMONDAPI HeapAlloc(ULONG cb) {
    return std::malloc(cb);
}

void DIAMONDAPI HeapFree(void *memory) {
    std::free(memory);
}

}  // namespace

CallerAllocator HeapAllocator() {
    return CallerAllocator{HeapAlloc, HeapFree};
}

bool CallerMemory::Allocate(const CallerAllocator &allocator, size_t size) {
    Release();
    if (size == 0 || size > UINT32_MAX) {
        return false;
    }
    data_ = static_cast<uint8_t *>(allocator.alloc(ULONG(size)));
    if (data_ == nullptr) {
        return false;
    }
    allocator_ = allocator;
    size_ = size;
    return true;
}

void CallerMemory::Release() {
    if (data_ != nullptr) {
        allocator_.free(data_);
    }
    data_ = nullptr;
    size_ = 0;
}

}  // namespace cab

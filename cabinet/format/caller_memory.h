// Memory through the caller's allocator callbacks: FCI and FDI promise that everything the engine
// holds comes from there, so that a caller's allocation-failure tests reach all of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "cabinet/fdi_fci_types.h"

namespace cab {

// PFNFCIALLOC/PFNFCIFREE and PFNALLOC/PFNFREE have these same types. Call them on the caller's
// thread only.
struct CallerAllocator {
    void *(DIAMONDAPI *alloc)(ULONG cb) = nullptr;
    void(DIAMONDAPI *free)(void *memory) = nullptr;
};

// A block from the caller's allocator, released on destruction.
class CallerMemory {
public:
    CallerMemory() = default;
    CallerMemory(const CallerMemory &) = delete;
    CallerMemory &operator=(const CallerMemory &) = delete;
    CallerMemory(CallerMemory &&other) noexcept { Swap(other); }
    CallerMemory &operator=(CallerMemory &&other) noexcept {
        CallerMemory gone(std::move(other));
        Swap(gone);
        return *this;
    }
    ~CallerMemory() { Release(); }

    // Replaces the block by a new one of `size` bytes (contents undefined); false when the
    // allocator refuses, or the size is 0 or does not fit its ULONG parameter.
    bool Allocate(const CallerAllocator &allocator, size_t size);
    void Release();
    void Swap(CallerMemory &other) noexcept {
        std::swap(allocator_, other.allocator_);
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
    }
    uint8_t *data() const { return data_; }
    size_t size() const { return size_; }

private:
    CallerAllocator allocator_;
    uint8_t *data_ = nullptr;
    size_t size_ = 0;
};

}  // namespace cab

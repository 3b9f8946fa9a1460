// Memory through the caller's allocator callbacks: FCI and FDI promise that everything the engine
// holds comes from there, so that a caller's allocation-failure tests reach all of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "cabinet/fdi_fci_types.h"

namespace cab {

// PFNFCIALLOC/PFNFCIFREE and PFNALLOC/PFNFREE have these same types. Call them on the caller's
// thread only.
struct CallerAllocator {
    void *(DIAMONDAPI *alloc)(ULONG cb) = nullptr;
    void(DIAMONDAPI *free)(void *memory) = nullptr;
};

// The C heap, for code that has no caller to take memory from (tests, benchmarks).
CallerAllocator HeapAllocator();

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

// Destroys an object made by MakeCaller and gives its memory back.
struct CallerDelete {
    CallerAllocator allocator;

    template <typename T>
    void operator()(T *object) const {
        if (object == nullptr) {
            return;
        }
        // Through a base class, the block starts at the most derived object.
        void *block = object;
        if constexpr (std::is_polymorphic_v<T>) {
            block = dynamic_cast<void *>(object);
        }
        object->~T();
        allocator.free(block);
    }
};

template <typename T>
using CallerPtr = std::unique_ptr<T, CallerDelete>;

// Constructs a T in memory from the caller's allocator; null when the allocator refuses or the
// constructor throws.
template <typename T, typename... Args>
CallerPtr<T> MakeCaller(const CallerAllocator &allocator, Args &&...args) {
    void *block = allocator.alloc(ULONG(sizeof(T)));
    if (block == nullptr) {
        return CallerPtr<T>(nullptr, CallerDelete{allocator});
    }
    try {
        return CallerPtr<T>(new (block) T(std::forward<Args>(args)...), CallerDelete{allocator});
    } catch (...) {
        allocator.free(block);
        return CallerPtr<T>(nullptr, CallerDelete{allocator});
    }
}

// A standard-library allocator over the caller's; it throws std::bad_alloc when refused, which
// the API entry points turn into an allocation failure.
template <typename T>
struct CallerStlAllocator {
    using value_type = T;

    explicit CallerStlAllocator(const CallerAllocator &a) : allocator(a) {}
    template <typename U>
    CallerStlAllocator(const CallerStlAllocator<U> &other) : allocator(other.allocator) {}

    T *allocate(size_t n) {
        if (n > UINT32_MAX / sizeof(T)) {
            throw std::bad_alloc();
        }
        void *p = allocator.alloc(ULONG(n * sizeof(T)));
        if (p == nullptr) {
            throw std::bad_alloc();
        }
        return static_cast<T *>(p);
    }
    void deallocate(T *p, size_t) { allocator.free(p); }
    template <typename U>
    bool operator==(const CallerStlAllocator<U> &other) const {
        return allocator.alloc == other.allocator.alloc && allocator.free == other.allocator.free;
    }

    CallerAllocator allocator;
};

template <typename T>
using CallerVector = std::vector<T, CallerStlAllocator<T>>;

}  // namespace cab

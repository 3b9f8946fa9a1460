// The reader's view of the caller's callbacks: memory through PFNALLOC/PFNFREE, and a buffered,
// bounds-checked input over one cabinet handle read with PFNREAD/PFNSEEK.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cabinet/fdi.h"
#include "cabinet/format/caller_memory.h"

namespace cab {

// The callbacks given to FDICreate.
struct FdiCallbacks {
    PFNALLOC alloc = nullptr;
    PFNFREE free = nullptr;
    PFNOPEN open = nullptr;
    PFNREAD read = nullptr;
    PFNWRITE write = nullptr;
    PFNCLOSE close = nullptr;
    PFNSEEK seek = nullptr;

    CallerAllocator allocator() const { return CallerAllocator{alloc, free}; }
};

// Reads one cabinet through the callbacks in large chunks. Offsets are absolute in the file;
// nothing at or beyond `limit` (the cabinet's cbCabinet) is ever returned, so bytes appended after
// a cabinet are never taken as its data.
class CabInput {
public:
    static constexpr size_t kBufferSize = 512 * 1024;
    // What any single Peek can ask for (a CFDATA header, its reserve and 64 KiB of data); the
    // buffer starts at this size and grows to kBufferSize only for a cabinet that needs it.
    static constexpr size_t kInitialBufferSize = 80 * 1024;

    explicit CabInput(const FdiCallbacks *callbacks) : callbacks_(callbacks) {}

    // Allocates the buffer; false when out of memory.
    bool Init();
    // Starts reading `hf` at offset 0 with no limit yet; the buffer is emptied.
    void Attach(INT_PTR hf);
    void SetLimit(uint32_t limit) { limit_ = limit; }
    uint32_t limit() const { return limit_; }
    INT_PTR handle() const { return hf_; }

    // Moves to absolute offset `pos`; false when the seek callback fails or pos > limit.
    bool Seek(uint32_t pos);
    uint32_t Position() const { return uint32_t(file_pos_ - (end_ - begin_)); }

    // Makes up to `want` bytes (want <= kInitialBufferSize) contiguous at the current position and
    // returns how many are available; fewer means the cabinet (or the file) ends first.
    size_t Fill(size_t want, const uint8_t **data);
    // Returns `size` contiguous bytes at the current position, or null when fewer remain.
    const uint8_t *Peek(size_t size) {
        const uint8_t *p;
        return Fill(size, &p) == size ? p : nullptr;
    }
    // Consumes `size` bytes that Fill or Peek made available.
    void Consume(size_t size) { begin_ += size; }
    // True when a read callback reported an error (as opposed to the end of the file).
    bool read_failed() const { return read_failed_; }

private:
    void Grow();

    const FdiCallbacks *callbacks_;
    CallerMemory buffer_;
    INT_PTR hf_ = -1;
    uint64_t file_pos_ = 0;  // offset of the byte after buffer_[end_]
    size_t begin_ = 0, end_ = 0;
    uint32_t limit_ = UINT32_MAX;
    bool read_failed_ = false;
};

}  // namespace cab

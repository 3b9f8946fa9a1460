// Ordered queue of data blocks waiting to be compressed for the writer.
//
// Blocks come out in the order they went in. With one thread each block is compressed inside
// Submit; with more, worker threads compress up to a fixed number of blocks at once, each from its
// own copy of the block and of the 32 KiB before it, so the output is the same byte for byte. No
// callback of the caller ever runs on a worker thread: all memory, the encoders' included, is
// taken in Init.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "cabinet/fdi_fci_types.h"
#include "cabinet/format/caller_memory.h"

namespace cab {

struct CompressedBlock {
    const uint8_t *payload;  // valid until Pop
    uint16_t size;           // 0 when the compressor failed
    uint16_t uncompressed;
    uint32_t start;  // uncompressed offset of the block in its folder
};

class BlockQueue {
public:
    BlockQueue();
    ~BlockQueue();
    BlockQueue(const BlockQueue &) = delete;
    BlockQueue &operator=(const BlockQueue &) = delete;

    // Sets up the slots and the workers, all memory from `allocator`; false when it cannot be
    // had. The coders come with Prepare.
    bool Init(const CallerAllocator &allocator);
    bool Full() const;
    bool Empty() const;
    size_t InFlight() const;
    // Largest number of blocks that can be in flight at once.
    size_t Capacity() const;

    // Makes the coders for blocks of `type` (tcompTYPE_NONE or an MSZIP TCOMP with its level),
    // on the caller's thread; only while the queue is Empty. False when memory is short.
    bool Prepare(TCOMP type);
    // Queues `size` (1..32768) bytes of `data`, compressed as Prepare set up, with `history` as
    // the preceding folder input. Must not be called when Full.
    void Submit(const uint8_t *history, uint32_t history_size, const uint8_t *data, uint32_t size,
                uint32_t start);
    // The oldest block once it is compressed; with `wait` false, returns false if it is not done.
    bool Front(bool wait, CompressedBlock *out);
    void Pop();
    // Waits for the blocks in flight and forgets them.
    void Clear();

private:
    struct Impl;
    CallerPtr<Impl> impl_;
};

// Blocks in flight at most with `threads` compression threads: 8 a thread, and at least 64 when
// there are workers, for under load the caller may wait for a core while they run out of blocks.
// Each holds about 96 KiB.
constexpr size_t FciQueueSlots(unsigned threads) {
    return threads <= 1 ? 1 : std::max<size_t>(64, size_t(threads) * 8);
}

// Number of compression threads for writers created from now on; 0 = one per core (the default,
// also taken from CABMGR_FCI_THREADS when set). For tests and benchmarks.
void SetFciThreadCount(unsigned threads);
// The number of compression threads a writer created now takes.
unsigned FciThreadCount();

}  // namespace cab

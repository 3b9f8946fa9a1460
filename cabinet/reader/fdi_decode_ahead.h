// A ring of CFDATA blocks decoded on a worker thread while the caller's thread writes what is
// already decoded. The caller's thread reads the blocks into the ring and takes them out in the
// same order; the worker only runs decoders. No callback of the caller ever runs on the worker:
// the ring's memory is taken in Init, and decoders take theirs when they are made.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

#include "cabinet/codec/codec.h"
#include "cabinet/fdi.h"
#include "cabinet/format/caller_memory.h"

namespace cab {

class DecodeAhead {
public:
    static constexpr size_t kSlots = 32;
    // Blocks a waiting caller's thread is woken for at once.
    static constexpr size_t kWaitBatch = 16;

    struct Slot {
        uint8_t *in = nullptr;   // kMaxAnyBlock: the block's stored bytes, split parts joined
        uint8_t *out = nullptr;  // kBlockSize, right after the previous slot's
        size_t in_size = 0;
        uint16_t out_size = 0;  // cbUncomp; 0 in a slot that carries an error
        bool reset = false;     // the first block of a folder: the decoder starts afresh
        BlockDecoder *decoder = nullptr;
        FDIERROR error = FDIERROR_NONE;  // set by the reading side, or from the decoder's status
    };

    explicit DecodeAhead(const CallerAllocator &allocator) : allocator_(allocator) {}
    ~DecodeAhead();
    DecodeAhead(const DecodeAhead &) = delete;
    DecodeAhead &operator=(const DecodeAhead &) = delete;

    // Takes the slots' memory and starts the worker; false when either cannot be had.
    bool Init();
    bool ready() const { return worker_.joinable(); }

    // Blocks handed in and taken out since Init: sequence numbers of the ring.
    uint64_t submitted() const { return submitted_; }
    uint64_t taken() const { return taken_; }
    size_t Queued() const { return size_t(submitted_ - taken_); }
    bool Full() const { return Queued() == kSlots; }

    // The slot to fill next (not Full), then handed to the worker with Submit.
    Slot &Next() { return slots_[submitted_ % kSlots]; }
    void Submit();
    // Waits until the oldest block (Queued() > 0) is decoded and returns it; Release gives it back.
    const Slot &Wait();
    // Blocks decoded and not taken out: the oldest and the `Ready() - 1` after it, which Peek
    // returns without waiting.
    size_t Ready();
    const Slot &Peek(size_t after) const { return slots_[(taken_ + after) % kSlots]; }
    void Release() { ++taken_; }
    // Drops every block handed in: waits for the worker to be idle without decoding the rest.
    void Clear();

private:
    void Work();

    const CallerAllocator allocator_;
    Slot slots_[kSlots];
    // The slots' output, in ring order, so that neighbours go out in one write, then their input.
    CallerMemory memory_;
    uint64_t submitted_ = 0;  // caller's thread only
    uint64_t taken_ = 0;      // caller's thread only
    std::mutex mu_;
    std::condition_variable work_cv_;
    std::condition_variable done_cv_;
    uint64_t queued_ = 0;   // under mu_: blocks the worker may take
    uint64_t decoded_ = 0;  // under mu_: blocks the worker is done with
    bool drop_ = false;     // under mu_: finish without decoding
    bool quit_ = false;     // under mu_
    bool idle_ = false;     // under mu_: the worker waits for work
    bool waiting_ = false;  // under mu_: the caller's thread waits for the worker
    uint64_t awaited_ = 0;  // under mu_: until decoded_ reaches this
    std::thread worker_;
};

}  // namespace cab

#include "cabinet/writer/fci_block_queue.h"

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "cabinet/codec/mszip_encoder.h"

namespace cab {

namespace {

std::atomic<unsigned> g_thread_count{0};
constexpr unsigned kMaxThreads = 64;

unsigned ResolveThreadCount() {
    unsigned n = g_thread_count.load();
    if (n == 0) {
        if (const char *env = std::getenv("CABMGR_FCI_THREADS")) {
            n = unsigned(std::strtoul(env, nullptr, 10));
        }
    }
    if (n == 0) {
        n = std::thread::hardware_concurrency();
    }
    if (n == 0) {
        n = 1;
    }
    return n > kMaxThreads ? kMaxThreads : n;
}

struct Slot {
    CallerMemory input;  // history, then the block
    CallerMemory output;
    uint32_t history_size = 0;
    uint32_t size = 0;
    uint32_t start = 0;
    uint16_t out_size = 0;
    bool done = false;
};

// With no coder the block is stored as it is (a folder without compression).
uint16_t CompressSlot(MszipCoder *coder, Slot &slot) {
    const uint8_t *data = slot.input.data() + slot.history_size;
    if (coder == nullptr) {
        memcpy(slot.output.data(), data, slot.size);
        return uint16_t(slot.size);
    }
    return uint16_t(
        coder->Encode(slot.input.data(), slot.history_size, slot.size, slot.output.data()));
}

}  // namespace

void SetFciThreadCount(unsigned threads) {
    g_thread_count.store(threads);
}

unsigned FciThreadCount() {
    return ResolveThreadCount();
}

struct BlockQueue::Impl {
    explicit Impl(const CallerAllocator &allocator)
        : slots(CallerStlAllocator<Slot>(allocator)),
          coders(CallerStlAllocator<CallerPtr<MszipCoder>>(allocator)),
          workers(CallerStlAllocator<std::thread>(allocator)),
          allocator(allocator) {}

    CallerVector<Slot> slots;
    size_t head = 0;         // oldest slot
    uint64_t submitted = 0;  // blocks ever submitted
    uint64_t started = 0;    // blocks a worker has taken
    uint64_t popped = 0;
    std::mutex mu;
    std::condition_variable work_cv;
    std::condition_variable done_cv;
    bool stop = false;
    // The caller sleeps until both are done.
    const Slot *awaited_first = nullptr;
    const Slot *awaited_last = nullptr;
    // One coder per worker (the first also inline), for the folder being compressed; none when
    // its blocks are stored.
    CallerVector<CallerPtr<MszipCoder>> coders;
    CallerVector<std::thread> workers;
    CallerAllocator allocator;
    int coder_level = 0;  // MSZIP level of the coders; 0: none

    size_t Count() const { return size_t(submitted - popped); }

    void Work(size_t index) {
        std::unique_lock<std::mutex> lock(mu);
        for (;;) {
            work_cv.wait(lock, [&] { return stop || started < submitted; });
            if (stop) {
                return;
            }
            Slot &slot = slots[started % slots.size()];
            ++started;
            MszipCoder *coder = coders[index].get();
            lock.unlock();
            uint16_t out = CompressSlot(coder, slot);
            lock.lock();
            slot.out_size = out;
            slot.done = true;
            if (awaited_first != nullptr && awaited_first->done && awaited_last->done) {
                done_cv.notify_one();
            }
        }
    }

    bool Allocate(const CallerAllocator &allocator, unsigned threads) {
        slots.resize(FciQueueSlots(threads));
        for (Slot &slot : slots) {
            if (!slot.input.Allocate(allocator, 2 * kBlockSize) ||
                !slot.output.Allocate(allocator, kMszipMaxPayload)) {
                return false;
            }
        }
        coders.reserve(threads);
        for (unsigned i = 0; i < threads; ++i) {
            coders.emplace_back(nullptr, CallerDelete{allocator});
        }
        workers.reserve(threads == 1 ? 0 : threads);
        return true;
    }
};

BlockQueue::BlockQueue() = default;

BlockQueue::~BlockQueue() {
    if (impl_ == nullptr) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(impl_->mu);
        impl_->stop = true;
    }
    impl_->work_cv.notify_all();
    for (auto &t : impl_->workers) {
        t.join();
    }
}

bool BlockQueue::Init(const CallerAllocator &allocator) {
    if (impl_ != nullptr) {
        return true;
    }
    const unsigned threads = ResolveThreadCount();
    CallerPtr<Impl> impl = MakeCaller<Impl>(allocator, allocator);
    try {
        if (!impl || !impl->Allocate(allocator, threads)) {
            return false;
        }
    } catch (const std::bad_alloc &) {
        return false;
    }
    if (threads > 1) {
        try {
            for (unsigned i = 0; i < threads; ++i) {
                Impl *q = impl.get();
                q->workers.emplace_back([q, i] { q->Work(i); });
            }
        } catch (...) {
            // Fewer threads than asked for still give the same output; none at all means inline.
        }
    }
    impl_ = std::move(impl);
    return true;
}

bool BlockQueue::Full() const {
    return impl_->Count() == impl_->slots.size();
}
bool BlockQueue::Empty() const {
    return impl_->Count() == 0;
}
size_t BlockQueue::InFlight() const {
    return impl_->Count();
}
size_t BlockQueue::Capacity() const {
    return impl_->slots.size();
}

bool BlockQueue::Prepare(TCOMP type) {
    Impl &q = *impl_;
    const int level = type == tcompTYPE_NONE ? 0 : MszipLevel(type);
    if (level == q.coder_level) {
        return true;
    }
    const size_t count = q.workers.empty() ? 1 : q.workers.size();
    std::lock_guard<std::mutex> lock(q.mu);
    q.coder_level = 0;
    for (auto &coder : q.coders) {
        coder.reset();
    }
    for (size_t i = 0; level != 0 && i < count; ++i) {
        q.coders[i] = NewMszipCoder(level, q.allocator);
        if (!q.coders[i]) {
            for (auto &coder : q.coders) {
                coder.reset();
            }
            return false;
        }
    }
    q.coder_level = level;
    return true;
}

void BlockQueue::Submit(const uint8_t *history, uint32_t history_size, const uint8_t *data,
                        uint32_t size, uint32_t start) {
    Impl &q = *impl_;
    Slot &slot = q.slots[(q.head + q.Count()) % q.slots.size()];
    if (history_size != 0) {
        memcpy(slot.input.data(), history, history_size);
    }
    memcpy(slot.input.data() + history_size, data, size);
    slot.history_size = history_size;
    slot.size = size;
    slot.start = start;
    slot.done = false;
    // Stored blocks are only copied: a worker would cost more in hand-offs than it saves.
    if (q.workers.empty() || q.coder_level == 0) {
        slot.out_size = CompressSlot(q.coders[0].get(), slot);
        slot.done = true;
        std::unique_lock<std::mutex> lock(q.mu, std::defer_lock);
        if (!q.workers.empty()) {
            lock.lock();
        }
        ++q.submitted;
        ++q.started;
        return;
    }
    {
        std::lock_guard<std::mutex> lock(q.mu);
        ++q.submitted;
    }
    q.work_cv.notify_one();
}

bool BlockQueue::Front(bool wait, CompressedBlock *out) {
    Impl &q = *impl_;
    if (q.Count() == 0) {
        return false;
    }
    Slot &slot = q.slots[q.head];
    if (!q.workers.empty()) {
        std::unique_lock<std::mutex> lock(q.mu);
        if (!slot.done) {
            if (!wait) {
                return false;
            }
            // Woken once a quarter of the queue is done, not for each block: under load every
            // wake-up may wait for a core while the workers run out of blocks.
            const size_t batch = std::min(q.Count(), std::max<size_t>(1, q.slots.size() / 4));
            const Slot &last = q.slots[(q.head + batch - 1) % q.slots.size()];
            q.awaited_first = &slot;
            q.awaited_last = &last;
            q.done_cv.wait(lock, [&] { return slot.done && last.done; });
            q.awaited_first = nullptr;
            q.awaited_last = nullptr;
        }
    }
    out->payload = slot.output.data();
    out->size = slot.out_size;
    out->uncompressed = uint16_t(slot.size);
    out->start = slot.start;
    return true;
}

void BlockQueue::Pop() {
    Impl &q = *impl_;
    q.head = (q.head + 1) % q.slots.size();
    ++q.popped;
}

void BlockQueue::Clear() {
    CompressedBlock ignored;
    while (Front(true, &ignored)) {
        Pop();
    }
}

}  // namespace cab

#include "cabinet/reader/fdi_decode_ahead.h"

#include <algorithm>
#include <system_error>

#include "cabinet/format/cab_format.h"
#include "platform/crt.h"

namespace cab {

DecodeAhead::~DecodeAhead() {
    if (worker_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            quit_ = true;
        }
        work_cv_.notify_one();
        worker_.join();
    }
}

bool DecodeAhead::Init() {
    if (!memory_.Allocate(allocator_, kSlots * (kBlockSize + kMaxAnyBlock))) {
        return false;
    }
    for (size_t i = 0; i < kSlots; ++i) {
        slots_[i].out = memory_.data() + i * kBlockSize;
        slots_[i].in = memory_.data() + kSlots * kBlockSize + i * kMaxAnyBlock;
    }
    try {
        worker_ = std::thread([this] { Work(); });
    } catch (const std::system_error &) {
        return false;
    }
    return true;
}

void DecodeAhead::Submit() {
    ++submitted_;
    bool wake;
    {
        std::lock_guard<std::mutex> lock(mu_);
        queued_ = submitted_;
        // An idle worker is woken for half a ring at once, not for each block: each wake-up
        // costs two system calls. Wait wakes it for less when the caller would wait. The first
        // ring's worth is woken for at once, so that decoding starts while the caller's thread
        // writes the first files instead of when it runs out of blocks.
        wake = idle_ && (queued_ - decoded_ >= kSlots / 2 || submitted_ <= kSlots);
    }
    if (wake) {
        work_cv_.notify_one();
    }
}

const DecodeAhead::Slot &DecodeAhead::Wait() {
    std::unique_lock<std::mutex> lock(mu_);
    if (decoded_ <= taken_) {
        // Woken for a few blocks, not for each: when decoding is the slower side, each wake-up
        // would otherwise cost both threads system calls per block.
        awaited_ = taken_ + std::min<uint64_t>(submitted_ - taken_, kWaitBatch);
        if (idle_) {
            work_cv_.notify_one();
        }
        waiting_ = true;
        done_cv_.wait(lock, [&] { return decoded_ >= awaited_; });
        waiting_ = false;
    }
    return slots_[taken_ % kSlots];
}

size_t DecodeAhead::Ready() {
    std::lock_guard<std::mutex> lock(mu_);
    return size_t(decoded_ - taken_);
}

void DecodeAhead::Clear() {
    std::unique_lock<std::mutex> lock(mu_);
    drop_ = true;
    if (idle_) {
        work_cv_.notify_one();
    }
    awaited_ = queued_;
    waiting_ = true;
    done_cv_.wait(lock, [&] { return decoded_ == queued_; });
    waiting_ = false;
    drop_ = false;
    taken_ = submitted_;
}

void DecodeAhead::Work() {
    // The memory is mapped here, a few slots at a time whenever there is nothing to decode,
    // rather than a page fault at a time on both threads; mapping leaves the content alone, which
    // the caller's thread may be writing.
    constexpr size_t kMapStep = 4 * (kBlockSize + kMaxAnyBlock);
    size_t mapped = 0;
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
        if (!quit_ && decoded_ == queued_ && mapped < memory_.size()) {
            lock.unlock();
            const size_t step = std::min(kMapStep, memory_.size() - mapped);
            AdviseLargePages(memory_.data() + mapped, step);
            mapped += step;
            lock.lock();
            continue;
        }
        if (!quit_ && decoded_ == queued_) {
            idle_ = true;
            work_cv_.wait(lock);
            idle_ = false;
            continue;
        }
        if (quit_) {
            return;
        }
        Slot &s = slots_[decoded_ % kSlots];
        if (!drop_ && s.error == FDIERROR_NONE) {
            lock.unlock();
            if (s.reset) {
                s.decoder->Reset();
            }
            switch (s.decoder->DecodeBlock(s.in, s.in_size, s.out, s.out_size)) {
                case DecodeStatus::kOk:
                    break;
                case DecodeStatus::kBadData:
                    s.error = FDIERROR_MDI_FAIL;
                    break;
                case DecodeStatus::kNoMemory:
                    s.error = FDIERROR_ALLOC_FAIL;
                    break;
            }
            lock.lock();
        }
        ++decoded_;
        if (waiting_ && decoded_ >= awaited_) {
            // Woken outside the lock: inside, the caller's thread would wake only to wait for it,
            // and be woken a second time when it is released.
            lock.unlock();
            done_cv_.notify_one();
            lock.lock();
        }
    }
}

}  // namespace cab

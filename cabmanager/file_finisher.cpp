#include "cabmanager/file_finisher.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <new>
#include <system_error>
#include <utility>

#include "cabmanager/worker_thread.h"
#include "platform/crt.h"
#include "platform/errors.h"
#include "platform/text.h"

namespace cab {
namespace {

// An idle worker is woken for several files at once: each wake-up costs both threads system calls.
constexpr uint64_t kWakeBatch = 8;

}  // namespace

FileFinisher::~FileFinisher() {
    Drain();
    StopWorker(worker_, mu_, quit_, work_cv_);
}

bool FileFinisher::Start() {
    if (!worker_.joinable() && !inline_) {
        try {
            failures_.reserve(kSlots);
            folders_.reserve(kSlots);
            worker_ = std::thread([this] { Work(); });
            TakeHeldMemory();
        } catch (const std::exception &) {
            inline_ = true;
        }
    }
    return !inline_;
}

void FileFinisher::TakeHeldMemory() {
    constexpr size_t kLargePage = size_t(2) << 20;
    held_memory_.reset(static_cast<uint8_t *>(std::aligned_alloc(kLargePage, kHeldMemory)));
    if (!held_memory_) {
        return;  // every file is then written by the caller's thread
    }
    AdviseLargePages(held_memory_.get(), kHeldMemory);
    for (size_t i = 0; i < kSlots; ++i) {
        items_[i].content.data = held_memory_.get() + i * kMaxHeld;
    }
    next_.data = held_memory_.get() + kSlots * kMaxHeld;
}

bool FileFinisher::Reserve(size_t size) {
    next_.size = 0;
    next_.held = size <= kMaxHeld && Start() && held_memory_;
    return next_.held;
}

bool FileFinisher::Hold(const void *data, size_t size) {
    if (!next_.held || size > kMaxHeld - next_.size) {
        return false;
    }
    memcpy(next_.data + next_.size, data, size);
    next_.size += size;
    return true;
}

void FileFinisher::Finish(const PendingFile &file, int folder, const char *path,
                          const FILETIME *utc, DWORD attributes, bool replace, const char *member) {
    bool threaded = Start();
    if (threaded && submitted_ >= kSlots) {
        HelpUntil(submitted_ - kSlots);
    }
    Item &item = items_[submitted_ % kSlots];
    item.file = file;
    item.folder = folder;
    item.has_time = utc != nullptr;
    item.utc = utc != nullptr ? *utc : FILETIME{};
    item.attributes = attributes;
    item.replace = replace;
    StringCchCopyA(item.path, sizeof(item.path), path);
    const char *slash = strrchr(item.path, '/');
    item.leaf_at = slash != nullptr ? size_t(slash + 1 - item.path) : 0;
    StringCchCopyA(item.member, sizeof(item.member), member);
    // The slot's old content, written long ago, becomes the room for the next file's.
    std::swap(item.content, next_);
    next_.held = false;
    if (!threaded) {
        claimed_.store(submitted_ + 1);
        Run(submitted_);
        unfinished_ = ++submitted_;
        published_.store(submitted_);
        return;
    }
    Publish();
}

void FileFinisher::CloseFolder(int folder) {
    Advance();
    if (unfinished_ == submitted_) {
        CloseFolderHandle(folder);
        return;
    }
    try {
        folders_.push_back({folder, submitted_});
    } catch (const std::bad_alloc &) {
        Drain();
        CloseFolderHandle(folder);
    }
}

bool FileFinisher::Holds(int folder, const char *leaf) {
    // Those items are the caller's own writing: whoever finishes them only reads them.
    for (uint64_t n = unfinished_; n < submitted_; ++n) {
        const Item &item = items_[n % kSlots];
        if (!Finished(n) && item.folder == folder && strcmp(item.path + item.leaf_at, leaf) == 0) {
            return true;
        }
    }
    return false;
}

void FileFinisher::Drain() {
    while (unfinished_ < submitted_) {
        HelpUntil(unfinished_);
    }
    Advance();
    CloseHeld();
}

bool FileFinisher::TakeFailures(std::vector<Failure> *failures, int *unrecorded) {
    if (!failed_.load(std::memory_order_acquire)) {
        return false;
    }
    std::lock_guard<std::mutex> lock(mu_);
    failed_.store(false, std::memory_order_relaxed);
    failures->swap(failures_);
    failures_.clear();
    *unrecorded = unrecorded_;
    unrecorded_ = 0;
    return true;
}

bool FileFinisher::Claim(uint64_t *n) {
    uint64_t claimed = claimed_.load(std::memory_order_acquire);
    do {
        if (claimed >= published_.load(std::memory_order_acquire)) {
            return false;
        }
    } while (!claimed_.compare_exchange_weak(claimed, claimed + 1, std::memory_order_acq_rel,
                                             std::memory_order_acquire));
    *n = claimed;
    return true;
}

void FileFinisher::Run(uint64_t n) {
    Item &item = items_[n % kSlots];
    Step step = Step::kName;
    DWORD error = Complete(item, &step);
    if (error != ERROR_SUCCESS) {
        Record(item, error, step);
    }
    // Sequentially consistent, as is waiting_ on either side: whichever of the two threads comes
    // second sees the other's store, so a sleeping caller is never missed.
    item.done.store(n + 1);
    if (waiting_.load()) {
        // Taking the lock orders this with the caller's going to sleep; notifying after it is
        // released spares the woken thread waiting for it.
        { std::lock_guard<std::mutex> lock(mu_); }
        done_cv_.notify_one();
    }
}

void FileFinisher::Advance() {
    while (unfinished_ < submitted_ && Finished(unfinished_)) {
        ++unfinished_;
    }
    size_t closed = 0;
    for (; closed < folders_.size() && folders_[closed].after <= unfinished_; ++closed) {
        CloseFolderHandle(folders_[closed].folder);
    }
    folders_.erase(folders_.begin(), folders_.begin() + ptrdiff_t(closed));
}

void FileFinisher::HelpUntil(uint64_t n) {
    while (!Finished(n)) {
        uint64_t other;
        if (Claim(&other)) {
            Run(other);
            continue;
        }
        // The worker has it in hand.
        std::unique_lock<std::mutex> lock(mu_);
        waiting_.store(true);
        done_cv_.wait(lock, [&] { return items_[n % kSlots].done.load() == n + 1; });
        waiting_.store(false);
    }
    Advance();
}

void FileFinisher::Publish() {
    published_.store(++submitted_);
    // The worker sets idle_ before it looks for work for the last time, and this looks at idle_
    // after publishing: one of the two sees the other.
    if (submitted_ - claimed_.load() >= kWakeBatch && idle_.load() && idle_.exchange(false)) {
        { std::lock_guard<std::mutex> lock(mu_); }
        work_cv_.notify_one();
    }
}

void FileFinisher::Work() {
    for (;;) {
        uint64_t n;
        if (Claim(&n)) {
            Run(n);
            continue;
        }
        std::unique_lock<std::mutex> lock(mu_);
        for (;;) {
            idle_.store(true);
            if (quit_ || claimed_.load() < published_.load()) {
                break;
            }
            work_cv_.wait(lock);
        }
        idle_.store(false);
        if (quit_) {
            return;
        }
    }
}

DWORD FileFinisher::Complete(const Item &item, Step *step) {
    PendingFile file = item.file;
    if (file.fd == -1 && !CreatePendingFile(item.folder, &file)) {
        *step = Step::kCreate;
        return GetLastError() != ERROR_SUCCESS ? GetLastError() : ERROR_GEN_FAILURE;
    }
    for (size_t done = 0; item.content.held && done < item.content.size;) {
        int n = _write(file.fd, item.content.data + done, UINT(item.content.size - done));
        if (n <= 0) {
            // Never named: the content goes with the descriptor, a temporary name goes too.
            DWORD error =
                n < 0 && GetLastError() != ERROR_SUCCESS ? GetLastError() : ERROR_DISK_FULL;
            *step = Step::kWrite;
            DiscardPendingFile(item.folder, &file);
            _close(file.fd);
            return error;
        }
        done += size_t(n);
    }
    // Times and attributes go through the descriptor still open for writing: no second open.
    if (item.has_time) {
        SetDescriptorTime(file.fd, nullptr, &item.utc);
    }
    SetPendingFileAttributes(file, item.attributes);
    DWORD error = ERROR_SUCCESS;
    if (!CommitPendingFile(item.folder, item.path + item.leaf_at, &file,
                           item.replace ? TRUE : FALSE)) {
        error = GetLastError() != ERROR_SUCCESS ? GetLastError() : ERROR_GEN_FAILURE;
    }
    CloseLater(file.fd);
    return error;
}

void FileFinisher::CloseLater(int fd) {
    int batch[kCloseBatch];
    {
        std::lock_guard<std::mutex> lock(close_mu_);
        to_close_[to_close_count_++] = fd;
        if (to_close_count_ < kCloseBatch) {
            return;
        }
        std::copy(std::begin(to_close_), std::end(to_close_), batch);
        to_close_count_ = 0;
    }
    CloseDescriptors(batch, kCloseBatch);
}

void FileFinisher::CloseHeld() {
    std::lock_guard<std::mutex> lock(close_mu_);
    CloseDescriptors(to_close_, to_close_count_);
    to_close_count_ = 0;
}

void FileFinisher::Record(const Item &item, DWORD error, Step step) {
    std::lock_guard<std::mutex> lock(mu_);
    try {
        failures_.push_back({item.member, item.path, error, step});
    } catch (const std::bad_alloc &) {
        ++unrecorded_;
    }
    failed_.store(true, std::memory_order_release);
}

}  // namespace cab

#include "cabmanager/file_finisher.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <system_error>
#include <utility>

#include "platform/crt.h"
#include "platform/errors.h"
#include "platform/text.h"

namespace cab {
namespace {

// An idle worker is woken for several files at once, and a caller waiting for room for half the
// ring: each wake-up costs both threads system calls.
constexpr uint64_t kWakeBatch = 8;

}  // namespace

FileFinisher::~FileFinisher() {
    Drain();
    if (worker_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            quit_ = true;
        }
        work_cv_.notify_one();
        worker_.join();
    }
}

bool FileFinisher::Start() {
    if (!worker_.joinable() && !inline_) {
        try {
            failures_.reserve(kSlots);
            worker_ = std::thread([this] { Work(); });
        } catch (const std::exception &) {
            inline_ = true;
        }
    }
    return !inline_;
}

bool FileFinisher::Reserve(size_t size) {
    next_.size = 0;
    next_.held = false;
    if (size > kMaxHeld || !Start()) {
        return false;
    }
    if (next_.capacity < size) {
        // Grown in steps, so that a few sizes serve every small file.
        size_t capacity = std::max(size, std::min(2 * next_.capacity, kMaxHeld));
        next_.data.reset(new (std::nothrow) uint8_t[capacity]);
        next_.capacity = next_.data ? capacity : 0;
        if (!next_.data) {
            return false;
        }
    }
    next_.held = true;
    return true;
}

bool FileFinisher::Hold(const void *data, size_t size) {
    if (!next_.held || size > next_.capacity - next_.size) {
        return false;
    }
    memcpy(next_.data.get() + next_.size, data, size);
    next_.size += size;
    return true;
}

void FileFinisher::Finish(const PendingFile &file, int folder, const char *path,
                          const FILETIME *utc, DWORD attributes, bool replace, const char *member) {
    if (Start()) {
        WaitForRoom();
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
    if (inline_) {
        bool written = true;
        DWORD error = Complete(item, &written);
        if (error != ERROR_SUCCESS) {
            Record(item, error, written);
        }
        return;
    }
    Submit();
}

void FileFinisher::CloseFolder(int folder) {
    if (!worker_.joinable()) {
        CloseFolderHandle(folder);
        return;
    }
    WaitForRoom();
    Item &item = items_[submitted_ % kSlots];
    item.file = PendingFile{};
    item.folder = folder;
    item.path[0] = '\0';
    item.leaf_at = 0;
    item.content.held = false;
    Submit();
}

bool FileFinisher::Holds(int folder, const char *leaf) {
    uint64_t from;
    {
        std::lock_guard<std::mutex> lock(mu_);
        from = finished_;
    }
    // The items from there on are the caller's own writing: the worker only reads them.
    for (uint64_t i = from; i < submitted_; ++i) {
        const Item &item = items_[i % kSlots];
        if (item.file.fd != -1 && item.folder == folder &&
            strcmp(item.path + item.leaf_at, leaf) == 0) {
            return true;
        }
    }
    return false;
}

void FileFinisher::Drain() {
    if (worker_.joinable()) {
        WaitFinished(submitted_);
    }
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

void FileFinisher::WaitForRoom() {
    if (submitted_ - known_finished_ < kSlots) {
        return;
    }
    WaitFinished(submitted_ - kSlots / 2);
}

void FileFinisher::WaitFinished(uint64_t count) {
    std::unique_lock<std::mutex> lock(mu_);
    if (finished_ < count) {
        if (idle_) {
            work_cv_.notify_one();
        }
        awaited_ = count;
        waiting_ = true;
        done_cv_.wait(lock, [&] { return finished_ >= count; });
        waiting_ = false;
    }
    known_finished_ = finished_;
}

void FileFinisher::Submit() {
    ++submitted_;
    bool wake;
    {
        std::lock_guard<std::mutex> lock(mu_);
        queued_ = submitted_;
        known_finished_ = finished_;
        wake = idle_ && queued_ - finished_ >= kWakeBatch;
    }
    if (wake) {
        work_cv_.notify_one();
    }
}

void FileFinisher::Work() {
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
        if (finished_ == queued_) {
            if (quit_) {
                return;
            }
            idle_ = true;
            work_cv_.wait(lock);
            idle_ = false;
            continue;
        }
        const Item &item = items_[finished_ % kSlots];
        lock.unlock();
        bool written = true;
        DWORD error = Complete(item, &written);
        lock.lock();
        if (error != ERROR_SUCCESS) {
            RecordLocked(item, error, written);
        }
        ++finished_;
        if (waiting_ && finished_ >= awaited_) {
            done_cv_.notify_one();
        }
    }
}

DWORD FileFinisher::Complete(const Item &item, bool *written) {
    if (item.file.fd == -1) {
        CloseFolderHandle(item.folder);
        return ERROR_SUCCESS;
    }
    PendingFile file = item.file;
    for (size_t done = 0; item.content.held && done < item.content.size;) {
        int n = _write(file.fd, item.content.data.get() + done, UINT(item.content.size - done));
        if (n <= 0) {
            // Never named: the content goes with the descriptor, a temporary name goes too.
            DWORD error =
                n < 0 && GetLastError() != ERROR_SUCCESS ? GetLastError() : ERROR_DISK_FULL;
            *written = false;
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
    _close(file.fd);
    return error;
}

void FileFinisher::Record(const Item &item, DWORD error, bool written) {
    std::lock_guard<std::mutex> lock(mu_);
    RecordLocked(item, error, written);
}

void FileFinisher::RecordLocked(const Item &item, DWORD error, bool written) {
    try {
        failures_.push_back({item.member, item.path, error, written});
    } catch (const std::bad_alloc &) {
        ++unrecorded_;
    }
    failed_.store(true, std::memory_order_release);
}

}  // namespace cab

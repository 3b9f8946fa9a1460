#include "cabmanager/file_finisher.h"

#include <cstring>
#include <new>
#include <system_error>

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

void FileFinisher::Finish(const PendingFile &file, int folder, const char *leaf,
                          const FILETIME *utc, DWORD attributes, bool replace, const char *member) {
    if (!worker_.joinable() && !inline_) {
        try {
            failures_.reserve(kSlots);
            worker_ = std::thread([this] { Work(); });
        } catch (const std::exception &) {
            inline_ = true;
        }
    }
    Item &item = items_[submitted_ % kSlots];
    if (!inline_) {
        WaitForRoom();
    }
    item.file = file;
    item.folder = folder;
    item.has_time = utc != nullptr;
    item.utc = utc != nullptr ? *utc : FILETIME{};
    item.attributes = attributes;
    item.replace = replace;
    StringCchCopyA(item.leaf, sizeof(item.leaf), leaf);
    StringCchCopyA(item.member, sizeof(item.member), member);
    if (inline_) {
        DWORD error = Complete(item);
        if (error != ERROR_SUCCESS) {
            Record(item, error);
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
    item.leaf[0] = '\0';
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
        if (item.file.fd != -1 && item.folder == folder && strcmp(item.leaf, leaf) == 0) {
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

bool FileFinisher::TakeFailures(std::vector<Failure> *failures, int *unnamed) {
    if (!failed_.load(std::memory_order_acquire)) {
        return false;
    }
    std::lock_guard<std::mutex> lock(mu_);
    failed_.store(false, std::memory_order_relaxed);
    failures->swap(failures_);
    failures_.clear();
    *unnamed = unrecorded_;
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
        DWORD error = Complete(item);
        lock.lock();
        if (error != ERROR_SUCCESS) {
            RecordLocked(item, error);
        }
        ++finished_;
        if (waiting_ && finished_ >= awaited_) {
            done_cv_.notify_one();
        }
    }
}

DWORD FileFinisher::Complete(const Item &item) {
    if (item.file.fd == -1) {
        CloseFolderHandle(item.folder);
        return ERROR_SUCCESS;
    }
    // Times and attributes go through the descriptor still open for writing: no second open.
    PendingFile file = item.file;
    if (item.has_time) {
        SetDescriptorTime(file.fd, nullptr, &item.utc);
    }
    SetPendingFileAttributes(file, item.attributes);
    DWORD error = ERROR_SUCCESS;
    if (!CommitPendingFile(item.folder, item.leaf, &file, item.replace ? TRUE : FALSE)) {
        error = GetLastError() != ERROR_SUCCESS ? GetLastError() : ERROR_GEN_FAILURE;
    }
    _close(file.fd);
    return error;
}

void FileFinisher::Record(const Item &item, DWORD error) {
    std::lock_guard<std::mutex> lock(mu_);
    RecordLocked(item, error);
}

void FileFinisher::RecordLocked(const Item &item, DWORD error) {
    try {
        failures_.push_back({item.member, error});
    } catch (const std::bad_alloc &) {
        ++unrecorded_;
    }
    failed_.store(true, std::memory_order_release);
}

}  // namespace cab

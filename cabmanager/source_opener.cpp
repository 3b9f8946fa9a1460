#include "cabmanager/source_opener.h"

#include <cstring>
#include <exception>

#include "cabinet/fdi_fci_types.h"
#include "cabmanager/worker_thread.h"
#include "platform/crt.h"
#include "platform/errors.h"

namespace cab {
namespace {

constexpr USHORT kEarliestDosDate = (1 << 5) | 1;  // 1980-01-01
constexpr USHORT kAttributeMask = _A_RDONLY | _A_HIDDEN | _A_SYSTEM | _A_ARCH;

// The worker is woken for several files at once: each wake-up costs both threads system calls.
constexpr uint64_t kWakeBatch = 16;

}  // namespace

void StampFromInformation(const BY_HANDLE_FILE_INFORMATION &info, USHORT *pdate, USHORT *ptime,
                          USHORT *pattribs) {
    FILETIME ftLocal;
    if (!FileTimeToLocalFileTime(&info.ftLastWriteTime, &ftLocal) ||
        !FileTimeToDosDateTime(&ftLocal, pdate, ptime)) {
        // DOS times cannot hold a date before 1980 (or after 2107): the earliest one stands in,
        // rather than no date at all.
        *pdate = kEarliestDosDate;
        *ptime = 0;
    }
    *pattribs = static_cast<USHORT>(info.dwFileAttributes & kAttributeMask);
}

SourceOpener::~SourceOpener() {
    StopWorker(worker_, mu_, quit_, work_cv_);
    for (uint64_t i = taken_; i < opened_; ++i) {
        if (items_[i % kSlots].opened.fd != -1)
            _close(items_[i % kSlots].opened.fd);
    }
    for (int fd : closing_)
        _close(fd);
    for (int fd : closes_)
        _close(fd);
}

void SourceOpener::Open(Item *item) {
    item->opened = Opened{};
    BY_HANDLE_FILE_INFORMATION info;
    item->opened.fd = OpenWithInformation(item->path, _O_RDONLY | _O_BINARY, 0, &info);
    if (item->opened.fd == -1) {
        item->opened.error = GetLastError();
        return;
    }
    item->opened.size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    StampFromInformation(info, &item->opened.date, &item->opened.time, &item->opened.attribs);
    item->opened.identity = IdentityOf(info);
}

bool SourceOpener::Start() {
    if (!worker_.joinable() && !inline_) {
        try {
            closes_.reserve(2 * kSlots);
            closing_.reserve(2 * kSlots);
            worker_ = std::thread([this] { Work(); });
        } catch (const std::exception &) {
            inline_ = true;
        }
    }
    return !inline_;
}

void SourceOpener::HandOverLocked() {
    queued_ = asked_;
    if (closing_.empty()) {
        closing_.swap(closes_);
    } else {
        try {
            closing_.insert(closing_.end(), closes_.begin(), closes_.end());
        } catch (const std::exception &) {
            for (int fd : closes_)
                _close(fd);
        }
    }
    closes_.clear();
    if (idle_)
        work_cv_.notify_one();
}

void SourceOpener::Ask(const char *path) {
    Item &item = items_[asked_ % kSlots];
    strncpy(item.path, path, sizeof(item.path) - 1);
    ++asked_;
    if (asked_ - queued_ >= kWakeBatch && Start()) {
        std::lock_guard<std::mutex> lock(mu_);
        HandOverLocked();
    }
}

bool SourceOpener::Take(Opened *opened) {
    if (taken_ == asked_)
        return false;
    Item &item = items_[taken_ % kSlots];
    if (!Start()) {
        Open(&item);
    } else if (opened_ <= taken_) {
        std::unique_lock<std::mutex> lock(mu_);
        HandOverLocked();
        waiting_ = true;
        done_cv_.wait(lock, [&] { return opened_ > taken_; });
        waiting_ = false;
    }
    *opened = item.opened;
    ++taken_;
    return true;
}

void SourceOpener::Close(int fd) {
    if (inline_ || !worker_.joinable() || closes_.size() == closes_.capacity()) {
        _close(fd);
        return;
    }
    closes_.push_back(fd);
}

void SourceOpener::Work() {
    std::vector<int> closing;
    closing.reserve(2 * kSlots);
    std::unique_lock<std::mutex> lock(mu_);
    while (!quit_) {
        if (opened_ == queued_ && closing_.empty()) {
            idle_ = true;
            work_cv_.wait(lock);
            idle_ = false;
            continue;
        }
        closing.swap(closing_);
        uint64_t next = opened_;
        const uint64_t end = queued_;
        lock.unlock();
        for (int fd : closing)
            _close(fd);
        closing.clear();
        for (; next < end && !quit_; ++next) {
            Open(&items_[next % kSlots]);
            opened_ = next + 1;
            if (waiting_) {
                std::lock_guard<std::mutex> published(mu_);
                done_cv_.notify_one();
            }
        }
        lock.lock();
    }
}

}  // namespace cab

// Unpacked files completed on a thread of their own: a small file's content written, each file's
// time and attributes set, its name given and its descriptor closed, while the caller's thread
// decodes the files after it. When the worker falls behind, the caller's thread finishes the
// oldest files waiting instead of waiting itself, so both threads do the kernel's work. A file is
// named only once written whole, as before; what fails is kept for the caller's thread to report.
// Folder handles the files are named in are closed once every file handed over before them is
// finished.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/file_times.h"
#include "platform/safe_files.h"

namespace cab {

class FileFinisher {
public:
    static constexpr size_t kSlots = 64;
    // Files up to this size are written by the finisher from a copy of their content, held in
    // one region of a single allocation per slot and one more for the file being decoded.
    static constexpr size_t kMaxHeld = 63 * 1024;
    static constexpr size_t kHeldMemory = size_t(4) << 20;
    static_assert((kSlots + 1) * kMaxHeld <= kHeldMemory);
    // Descriptors of finished files closed at once.
    static constexpr size_t kCloseBatch = 32;

    // A file that could not be created, written or named: the member's name, its path, the step
    // that failed and the last error (ERROR_ALREADY_EXISTS for a name that exists when existing
    // files are kept).
    enum class Step { kCreate, kWrite, kName };
    struct Failure {
        std::string member;
        std::string path;
        DWORD error;
        Step step;
    };

    FileFinisher() = default;
    // Finishes what was handed over.
    ~FileFinisher();
    FileFinisher(const FileFinisher &) = delete;
    FileFinisher &operator=(const FileFinisher &) = delete;

    // Room for the content of the next file, `size` bytes, which Hold fills and Finish then
    // writes; false when the caller's thread is to write it itself.
    bool Reserve(size_t size);
    // Appends to the content reserved; false when it does not fit.
    bool Hold(const void *data, size_t size);
    bool holding() const { return next_.held; }
    // Takes over the complete file `file`, to be named in `folder` as the last part of `path`
    // (replacing what has the name when `replace`), with the time `utc` when not null. The
    // content held since Reserve is written first, into a file created in `folder` then when
    // `file` has no descriptor. `member` names it in a report.
    void Finish(const PendingFile &file, int folder, const char *path, const FILETIME *utc,
                DWORD attributes, bool replace, const char *member);
    // Closes the folder handle once every file handed over before is finished.
    void CloseFolder(int folder);
    // True when a file handed over and not finished yet is to be named `leaf` in `folder`.
    bool Holds(int folder, const char *leaf);
    // Waits until everything handed over is finished.
    void Drain();
    // Moves the failures found so far to `failures`, and to `unrecorded` the number of those that
    // could not be recorded for want of memory; false when there are none.
    bool TakeFailures(std::vector<Failure> *failures, int *unrecorded);

private:
    struct Content {
        uint8_t *data = nullptr;  // kMaxHeld bytes in held_memory_
        size_t size = 0;
        bool held = false;
    };
    struct Item {
        PendingFile file;
        int folder = -1;
        bool has_time = false;
        bool replace = false;
        FILETIME utc = {};
        DWORD attributes = 0;
        size_t leaf_at = 0;  // where the name in `folder` begins in `path`
        char path[MAX_PATH] = "";
        char member[MAX_PATH] = "";
        Content content;
        // One past the number of the last item finished in this slot: set by whichever thread
        // finished it, after which the caller's thread may reuse the slot.
        std::atomic<uint64_t> done{0};
    };
    struct FolderToClose {
        int folder;
        uint64_t after;  // the items before this one are to be finished first
    };

    bool Finished(uint64_t n) const {
        return items_[n % kSlots].done.load(std::memory_order_acquire) == n + 1;
    }
    // Takes the oldest item nobody has taken yet; false when there is none.
    bool Claim(uint64_t *n);
    // Finishes item n, which the calling thread has claimed, and records a failure.
    void Run(uint64_t n);
    // Caller's thread: moves the oldest unfinished item on and closes the folders it allows.
    void Advance();
    // Caller's thread: finishes items itself or waits until item n is finished.
    void HelpUntil(uint64_t n);
    void Publish();
    // Closes the descriptor of a finished file, with others at once.
    void CloseLater(int fd);
    void CloseHeld();
    void Work();
    // Finishes the item; the error, and in *step the step that failed, else ERROR_SUCCESS.
    DWORD Complete(const Item &item, Step *step);
    // Starts the worker when it is not running yet; false when it cannot run.
    bool Start();
    void TakeHeldMemory();
    void Record(const Item &item, DWORD error, Step step);

    // Taken once, on large pages where the system has them: touching fresh memory a small page
    // at a time cost as much as copying the content into it.
    struct Free {
        void operator()(uint8_t *p) const { std::free(p); }
    };
    std::unique_ptr<uint8_t, Free> held_memory_;
    Item items_[kSlots];
    Content next_;             // caller's thread: the content of the file being decoded
    uint64_t submitted_ = 0;   // caller's thread only
    uint64_t unfinished_ = 0;  // caller's thread only: items before this one are finished
    std::vector<FolderToClose> folders_;  // caller's thread only, in order
    std::atomic<uint64_t> published_{0};  // items either thread may claim
    std::atomic<uint64_t> claimed_{0};    // items claimed so far
    std::atomic<bool> idle_{false};       // the worker sleeps, or is about to
    std::atomic<bool> waiting_{false};    // the caller's thread sleeps, or is about to
    std::mutex close_mu_;
    int to_close_[kCloseBatch];  // under close_mu_
    size_t to_close_count_ = 0;  // under close_mu_
    std::mutex mu_;
    std::condition_variable work_cv_;
    std::condition_variable done_cv_;
    bool quit_ = false;  // under mu_
    std::thread worker_;
    bool inline_ = false;  // no thread could be started: each file is finished when handed over
    std::atomic<bool> failed_{false};
    std::vector<Failure> failures_;  // under mu_
    int unrecorded_ = 0;             // under mu_
};

}  // namespace cab

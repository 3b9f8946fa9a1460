// Unpacked files completed on a thread of their own: a small file's content written, each file's
// time and attributes set, its name given and its descriptor closed, while the caller's thread
// decodes the files after it. A file is named only once written whole, as before; what fails is
// kept for the caller's thread to report. Folder handles the files are named in are closed in
// turn, after the files handed over before them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
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
    // Files up to this size are written by the finisher from a copy of their content.
    static constexpr size_t kMaxHeld = 64 * 1024;

    // A file that could not be written or named: the member's name, its path, and the last error
    // (ERROR_ALREADY_EXISTS for a name that exists when existing files are kept).
    struct Failure {
        std::string member;
        std::string path;
        DWORD error;
        bool written;
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
    // content held since Reserve is written first. `member` names it in a report.
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
        std::unique_ptr<uint8_t[]> data;
        size_t capacity = 0;
        size_t size = 0;
        bool held = false;
    };
    struct Item {
        PendingFile file;  // fd -1: only `folder` is closed
        int folder = -1;
        bool has_time = false;
        bool replace = false;
        FILETIME utc = {};
        DWORD attributes = 0;
        size_t leaf_at = 0;  // where the name in `folder` begins in `path`
        char path[MAX_PATH] = "";
        char member[MAX_PATH] = "";
        Content content;
    };

    void WaitForRoom();
    void WaitFinished(uint64_t count);
    void Submit();
    void Work();
    // Finishes the item; the error when it could not be written or named, else ERROR_SUCCESS,
    // and in *written whether its content was written whole.
    DWORD Complete(const Item &item, bool *written);
    // Starts the worker when it is not running yet; false when it cannot run.
    bool Start();
    void Record(const Item &item, DWORD error, bool written);
    void RecordLocked(const Item &item, DWORD error, bool written);

    Item items_[kSlots];
    Content next_;                 // caller's thread: the content of the file being decoded
    uint64_t submitted_ = 0;       // caller's thread only
    uint64_t known_finished_ = 0;  // caller's thread only: finished_ when last looked at
    std::mutex mu_;
    std::condition_variable work_cv_;
    std::condition_variable done_cv_;
    uint64_t queued_ = 0;    // under mu_: items the worker may take
    uint64_t finished_ = 0;  // under mu_: items done with
    uint64_t awaited_ = 0;   // under mu_: what the caller's thread waits for to be finished
    bool idle_ = false;      // under mu_
    bool quit_ = false;      // under mu_
    bool waiting_ = false;   // under mu_
    std::thread worker_;
    bool inline_ = false;  // no thread could be started: each file is finished when handed over
    std::atomic<bool> failed_{false};
    std::vector<Failure> failures_;  // under mu_
    int unrecorded_ = 0;             // under mu_
};

}  // namespace cab

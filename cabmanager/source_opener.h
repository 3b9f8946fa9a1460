// Files to pack opened and described ahead, on a thread of their own, while the caller's thread
// feeds the ones before them to the writer; their descriptors are closed there too. Opening a
// small file costs more than reading it, and the deflating threads wait on whatever the caller's
// thread does. Results come back in the order asked for; a file that could not be opened keeps
// its error for the caller's thread to report, in its turn.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "cabmanager/folder_lister.h"
#include "platform/files.h"

namespace cab {

// The date, time and attributes a file described by info is stored with.
void StampFromInformation(const BY_HANDLE_FILE_INFORMATION &info, USHORT *pdate, USHORT *ptime,
                          USHORT *pattribs);

class SourceOpener {
public:
    static constexpr size_t kSlots = 64;

    struct Opened {
        int fd = -1;  // -1: not opened, `error` says why
        DWORD error = 0;
        uint64_t size = 0;
        USHORT date = 0, time = 0, attribs = 0;
        FolderIdentity identity;
    };

    SourceOpener() = default;
    // Closes what was opened and not taken, and every descriptor handed to Close.
    ~SourceOpener();
    SourceOpener(const SourceOpener &) = delete;
    SourceOpener &operator=(const SourceOpener &) = delete;

    bool Full() const { return asked_ - taken_ == kSlots; }
    // Asks for the file at `path` to be opened after those asked for before; not when Full.
    void Ask(const char *path);
    // The oldest file asked for and not taken, once opened; false when none was asked for.
    bool Take(Opened *opened);
    // Closes a descriptor Take gave, on the opener's thread.
    void Close(int fd);

private:
    struct Item {
        char path[MAX_PATH] = "";
        Opened opened;
    };

    static void Open(Item *item);
    bool Start();
    void Work();

    // Hands what was asked for and what is to be closed to the worker; under mu_.
    void HandOverLocked();

    Item items_[kSlots];
    uint64_t asked_ = 0;       // caller's thread only
    uint64_t taken_ = 0;       // caller's thread only
    std::vector<int> closes_;  // caller's thread only: not handed over yet
    std::mutex mu_;
    std::condition_variable work_cv_;
    std::condition_variable done_cv_;
    uint64_t queued_ = 0;       // under mu_: asked for and handed to the worker
    std::vector<int> closing_;  // under mu_
    bool idle_ = false;         // under mu_
    // Read without the lock, so that neither thread takes it for a file that is ready.
    std::atomic<uint64_t> opened_{0};
    std::atomic<bool> waiting_{false};
    std::atomic<bool> quit_{false};
    std::thread worker_;
    bool inline_ = false;  // no thread could be started: each file is opened when taken
};

}  // namespace cab

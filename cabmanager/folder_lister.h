// The folders of a walk listed ahead, on a thread of their own, in the order the walk asks for
// them: depth first, each folder's sub-folders in its listing's order. Listing a folder (and
// describing every entry of it) costs system calls the walking thread would otherwise wait on.
// The lister takes the walk's decisions too: a folder whose listing failed is not entered, nor
// one that leads back into the walk.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/files.h"
#include "platform/wintypes.h"

namespace cab {

using FolderIdentity = std::pair<uint64_t, uint64_t>;

// Identity (device and inode) of the file or folder that info describes.
FolderIdentity IdentityOf(const BY_HANDLE_FILE_INFORMATION &info);
// Identity of a folder, to see a link leading back into the walk (or of a file).
bool ReadFolderIdentity(const std::wstring &strFolder, FolderIdentity *pid);
// The folder a walk lists for pwszFolder: ending with a separator, '/' for a trailing '\'.
std::wstring WalkedFolder(const wchar_t *pwszFolder);

class FolderLister {
public:
    struct Entry {
        DWORD attributes;
        uint64_t size;
        std::wstring name;
    };
    struct Listing {
        enum Kind { kEntries, kLoop, kFailed } kind = kEntries;
        DWORD error = 0;  // kFailed: why
        std::vector<Entry> entries;
    };

    // Starts listing below pwszFolder (and into its sub-folders when fRecurse).
    FolderLister(const wchar_t *pwszFolder, int fRecurse);
    ~FolderLister();
    FolderLister(const FolderLister &) = delete;
    FolderLister &operator=(const FolderLister &) = delete;

    // The next listing of the walk; false past the last.
    bool Next(Listing *listing);

private:
    // Lists strFolder and, depth first, what is below it; false when told to quit.
    bool ListTree(const std::wstring &strFolder, std::vector<FolderIdentity> *pvecPath);
    bool Emit(Listing &&listing);
    void Run();

    std::wstring strRoot_;
    int fRecurse_;
    std::mutex mu_;
    std::condition_variable ready_cv_;
    std::condition_variable room_cv_;
    std::deque<Listing> ready_;  // under mu_
    size_t cReadyEntries_ = 0;   // under mu_
    bool done_ = false;          // under mu_
    bool quit_ = false;          // under mu_
    bool inline_ = false;        // no thread: the whole walk listed before the first Next
    std::thread worker_;
};

}  // namespace cab

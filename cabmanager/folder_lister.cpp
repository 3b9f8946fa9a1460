#include "cabmanager/folder_lister.h"

#include <cstring>
#include <exception>

#include "cabmanager/worker_thread.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/folder_listing.h"
#include "platform/text.h"
#include "utils/utils.h"

namespace cab {
namespace {

// Entries listed and not yet walked, beyond which the lister waits (unless nothing is waiting).
constexpr size_t kMaxHeld = 4096;

}  // namespace

FolderIdentity IdentityOf(const BY_HANDLE_FILE_INFORMATION &info) {
    return {info.dwVolumeSerialNumber,
            (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

bool ReadFolderIdentity(const std::wstring &strFolder, FolderIdentity *pid) {
    std::string strNarrow;
    if (!WideToAcpExact(strFolder, &strNarrow))
        return false;
    HANDLE h = CreateFileA(strNarrow.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info = {};
    BOOL fOk = GetFileInformationByHandle(h, &info);
    CloseHandle(h);
    if (!fOk)
        return false;
    *pid = IdentityOf(info);
    return true;
}

std::wstring WalkedFolder(const wchar_t *pwszFolder) {
    std::wstring strFolder(pwszFolder);
    UtilAppendPathSeparator(&strFolder);
    // A folder given with a trailing backslash is walked as the folder it names.
    if (!strFolder.empty() && strFolder.back() == L'\\')
        strFolder.back() = L'/';
    return strFolder;
}

FolderLister::FolderLister(const wchar_t *pwszFolder, int fRecurse)
    : strRoot_(pwszFolder), fRecurse_(fRecurse) {
    try {
        worker_ = std::thread([this] { Run(); });
    } catch (const std::exception &) {
        inline_ = true;
        Run();
    }
}

FolderLister::~FolderLister() {
    StopWorker(worker_, mu_, quit_, room_cv_);
}

bool FolderLister::Next(Listing *listing) {
    std::unique_lock<std::mutex> lock(mu_);
    ready_cv_.wait(lock, [&] { return !ready_.empty() || done_; });
    if (ready_.empty())
        return false;
    *listing = std::move(ready_.front());
    ready_.pop_front();
    cReadyEntries_ -= listing->entries.size() + 1;
    room_cv_.notify_one();
    return true;
}

bool FolderLister::Emit(Listing &&listing) {
    std::unique_lock<std::mutex> lock(mu_);
    room_cv_.wait(lock,
                  [&] { return quit_ || inline_ || ready_.empty() || cReadyEntries_ < kMaxHeld; });
    if (quit_)
        return false;
    cReadyEntries_ += listing.entries.size() + 1;
    ready_.push_back(std::move(listing));
    ready_cv_.notify_one();
    return true;
}

bool FolderLister::ListTree(const std::wstring &strFolder, std::vector<FolderIdentity> *pvecPath) {
    Listing listing;
    // A link back to a folder being walked would repeat the walk until paths grow too long.
    FolderIdentity id;
    bool fPushed = fRecurse_ && ReadFolderIdentity(strFolder, &id);
    for (size_t i = 0; fPushed && i < pvecPath->size(); ++i) {
        if ((*pvecPath)[i] == id) {
            listing.kind = Listing::kLoop;
            return Emit(std::move(listing));
        }
    }
    if (fPushed)
        pvecPath->push_back(id);
    WIN32_FIND_DATAW findData;
    memset(&findData, 0, sizeof(findData));
    HANDLE hFind = FindFirstFileW((strFolder + L"*.*").c_str(), &findData);
    std::vector<std::wstring> vecFolders;
    if (hFind == INVALID_HANDLE_VALUE) {
        listing.kind = Listing::kFailed;
        listing.error = GetLastError();
    } else {
        do {
            listing.entries.push_back(
                {findData.dwFileAttributes,
                 (uint64_t(findData.nFileSizeHigh) << 32) | findData.nFileSizeLow,
                 findData.cFileName});
            if (fRecurse_ && (findData.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                wcscmp(findData.cFileName, L".") != 0 && wcscmp(findData.cFileName, L"..") != 0)
                vecFolders.push_back(strFolder + findData.cFileName);
        } while (FindNextFileW(hFind, &findData));
        FindClose(hFind);
    }
    bool fGoOn = Emit(std::move(listing));
    for (size_t i = 0; fGoOn && i < vecFolders.size(); ++i)
        fGoOn = ListTree(WalkedFolder(vecFolders[i].c_str()), pvecPath);
    if (fPushed)
        pvecPath->pop_back();
    return fGoOn;
}

void FolderLister::Run() {
    try {
        std::vector<FolderIdentity> vecPath;
        ListTree(WalkedFolder(strRoot_.c_str()), &vecPath);
    } catch (const std::exception &) {
        // The walk finds no more listings and says the folder cannot be read.
    }
    std::lock_guard<std::mutex> lock(mu_);
    done_ = true;
    ready_cv_.notify_one();
}

}  // namespace cab

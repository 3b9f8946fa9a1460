// POSIX implementation of platform/folder_listing.h.
#include "platform/folder_listing.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <new>
#include <string>

#include "platform/errors.h"
#include "platform/handle_posix.h"
#include "platform/stat_posix.h"
#include "platform/text.h"

namespace cab {
namespace {

bool MatchesPattern(const std::string &pattern, const char *name) {
    return pattern.empty() || fnmatch(pattern.c_str(), name, FNM_NOESCAPE) == 0;
}

// Fills *data for the entry `name` of the open search; false when it is not to be listed.
bool DescribeEntry(const FindHandle &find, const char *name, WIN32_FIND_DATAW *data) {
    if (!MatchesPattern(find.pattern, name))
        return false;
    // Relative to the open folder: the kernel does not walk the whole path again per entry.
    struct stat st;
    bool dangling = false;
    if (fstatat(dirfd(find.dir), name, &st, 0) != 0) {
        // Gone meanwhile, or a link whose target is missing.
        dangling =
            fstatat(dirfd(find.dir), name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
        if (!dangling)
            return false;
    } else if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
        return false;
    }
    std::wstring wide_name = AcpToWide(name);
    if (wide_name.size() >= MAX_PATH)
        return false;
    *data = WIN32_FIND_DATAW{};
    data->dwFileAttributes = dangling ? FILE_ATTRIBUTE_REPARSE_POINT : AttributesFromStat(st, name);
    data->ftCreationTime = FromTimespec(st.st_mtim);
    data->ftLastAccessTime = FromTimespec(st.st_atim);
    data->ftLastWriteTime = FromTimespec(st.st_mtim);
    if (S_ISREG(st.st_mode))
        SplitSize(static_cast<uint64_t>(st.st_size), &data->nFileSizeHigh, &data->nFileSizeLow);
    wide_name.copy(data->cFileName, wide_name.size());
    return true;
}

// Reads on to the next entry to list; false (ERROR_NO_MORE_FILES) at the end.
bool NextEntry(FindHandle *find, WIN32_FIND_DATAW *data) {
    for (;;) {
        errno = 0;
        struct dirent *entry = readdir(find->dir);
        if (entry == nullptr) {
            if (errno != 0)
                FailWithErrno(errno);
            else
                SetLastError(ERROR_NO_MORE_FILES);
            return false;
        }
        if (DescribeEntry(*find, entry->d_name, data))
            return true;
    }
}

}  // namespace
}  // namespace cab

using namespace cab;

HANDLE FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData) {
    std::string narrow;
    if (lpFileName == nullptr || lpFindFileData == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (!WideToAcpExact(lpFileName, &narrow))
        return INVALID_HANDLE_VALUE;
    size_t slash = narrow.find_last_of("/\\");
    auto *find = new (std::nothrow) FindHandle;
    if (find == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    if (slash != std::string::npos) {
        find->folder = narrow.substr(0, slash + 1);
        find->pattern = narrow.substr(slash + 1);
        // A '\' that ends the folder is a separator too; POSIX wants '/'.
        find->folder.back() = '/';
    } else {
        find->pattern = narrow;
    }
    if (find->pattern == "*" || find->pattern == "*.*")
        find->pattern.clear();
    else if (find->pattern.empty()) {
        delete find;
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    find->dir = opendir(find->folder.empty() ? "." : find->folder.c_str());
    if (find->dir == nullptr) {
        int err = errno;
        delete find;
        SetLastError(err == ENOENT || err == ENOTDIR ? ERROR_PATH_NOT_FOUND
                                                     : Win32ErrorFromErrno(err));
        return INVALID_HANDLE_VALUE;
    }
    if (!NextEntry(find, lpFindFileData)) {
        DWORD error = GetLastError();
        closedir(find->dir);
        delete find;
        SetLastError(error == ERROR_NO_MORE_FILES ? ERROR_FILE_NOT_FOUND : error);
        return INVALID_HANDLE_VALUE;
    }
    return ToHandle(find);
}

BOOL FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData) {
    FindHandle *find = AsFindHandle(hFindFile);
    if (find == nullptr || lpFindFileData == nullptr) {
        SetLastError(find == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return NextEntry(find, lpFindFileData) ? TRUE : FALSE;
}

BOOL FindClose(HANDLE hFindFile) {
    FindHandle *find = AsFindHandle(hFindFile);
    if (find == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    closedir(find->dir);
    find->kind = HandleKind{};
    delete find;
    return TRUE;
}

// POSIX implementation of platform/files.h.
#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <string_view>

#include "platform/crt.h"
#include "platform/errors.h"
#include "platform/handle_posix.h"
#include "platform/stat_posix.h"
#include "platform/text.h"

namespace cab {
namespace {

BY_HANDLE_FILE_INFORMATION InformationFromStat(const struct stat &st, std::string_view path) {
    BY_HANDLE_FILE_INFORMATION info{};
    info.dwFileAttributes = AttributesFromStat(st, path);
    info.ftCreationTime = FromTimespec(st.st_mtim);
    info.ftLastAccessTime = FromTimespec(st.st_atim);
    info.ftLastWriteTime = FromTimespec(st.st_mtim);
    // Fold the 64-bit device number so that distinct devices stay distinct in practice.
    uint64_t device = static_cast<uint64_t>(st.st_dev);
    info.dwVolumeSerialNumber = static_cast<DWORD>(device ^ (device >> 32));
    if (!S_ISDIR(st.st_mode))
        SplitSize(static_cast<uint64_t>(st.st_size), &info.nFileSizeHigh, &info.nFileSizeLow);
    info.nNumberOfLinks = static_cast<DWORD>(st.st_nlink);
    SplitSize(static_cast<uint64_t>(st.st_ino), &info.nFileIndexHigh, &info.nFileIndexLow);
    return info;
}

// The mode SetFileAttributesA gives a file whose mode is `mode`.
mode_t ModeForAttributes(mode_t mode, DWORD attributes) {
    mode &= 07777;
    if (attributes & FILE_ATTRIBUTE_READONLY)
        return mode & ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
    return mode | S_IWUSR;
}

int OpenFlagsFromCrt(int oflag) {
    int flags = O_CLOEXEC;
    switch (oflag & (_O_RDONLY | _O_WRONLY | _O_RDWR)) {
        case _O_RDONLY:
            flags |= O_RDONLY;
            break;
        case _O_WRONLY:
            flags |= O_WRONLY;
            break;
        case _O_RDWR:
            flags |= O_RDWR;
            break;
        default:
            return -1;
    }
    if (oflag & _O_APPEND)
        flags |= O_APPEND;
    if (oflag & _O_CREAT)
        flags |= O_CREAT;
    if (oflag & _O_TRUNC)
        flags |= O_TRUNC;
    if (oflag & _O_EXCL)
        flags |= O_EXCL;
    return flags;
}

}  // namespace
}  // namespace cab

using namespace cab;

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD /*dwShareMode*/,
                   LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/, DWORD dwCreationDisposition,
                   DWORD /*dwFlagsAndAttributes*/, HANDLE /*hTemplateFile*/) {
    if (lpFileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (lpFileName[0] == '\0') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // O_NONBLOCK so that a FIFO named here cannot hang the caller.
    int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    flags |= (dwDesiredAccess & GENERIC_WRITE) ? O_RDWR : O_RDONLY;
    switch (dwCreationDisposition) {
        case CREATE_NEW:
            flags |= O_CREAT | O_EXCL;
            break;
        case CREATE_ALWAYS:
            flags |= O_CREAT | O_TRUNC;
            break;
        case OPEN_EXISTING:
            break;
        case OPEN_ALWAYS:
            flags |= O_CREAT;
            break;
        case TRUNCATE_EXISTING:
            flags |= O_TRUNC;
            break;
        default:
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
    }
    int fd = open(lpFileName, flags, 0666);
    if (fd < 0 && errno == EISDIR && (dwDesiredAccess & GENERIC_WRITE)) {
        // A folder opened for writing its times: a read descriptor is enough for futimens.
        fd = open(lpFileName, (flags & ~O_RDWR) | O_RDONLY);
    }
    if (fd < 0) {
        int err = errno;
        SetLastErrorFromErrno(err, lpFileName);
        if (dwCreationDisposition == CREATE_NEW && err == EEXIST)
            SetLastError(ERROR_FILE_EXISTS);
        return INVALID_HANDLE_VALUE;
    }
    auto *handle = new (std::nothrow) FileHandle;
    if (handle == nullptr) {
        close(fd);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    handle->fd = fd;
    handle->path = lpFileName;
    return ToHandle(handle);
}

BOOL GetFileInformationByHandle(HANDLE hFile, LPBY_HANDLE_FILE_INFORMATION lpFileInformation) {
    FileHandle *handle = AsFileHandle(hFile);
    if (handle == nullptr || lpFileInformation == nullptr) {
        SetLastError(handle == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    struct stat st;
    if (fstat(handle->fd, &st) != 0) {
        FailWithErrno(errno);
        return FALSE;
    }
    *lpFileInformation = InformationFromStat(st, handle->path);
    return TRUE;
}

BOOL CloseHandle(HANDLE hObject) {
    FileHandle *handle = AsFileHandle(hObject);
    if (handle == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    int result = close(handle->fd);
    int err = errno;
    handle->kind = HandleKind{};
    delete handle;
    if (result != 0) {
        FailWithErrno(err);
        return FALSE;
    }
    return TRUE;
}

DWORD GetFileAttributesA(LPCSTR lpFileName) {
    if (lpFileName == nullptr || lpFileName[0] == '\0') {
        SetLastError(lpFileName == nullptr ? ERROR_INVALID_PARAMETER : ERROR_PATH_NOT_FOUND);
        return INVALID_FILE_ATTRIBUTES;
    }
    struct stat st;
    if (stat(lpFileName, &st) != 0) {
        SetLastErrorFromErrno(errno, lpFileName);
        return INVALID_FILE_ATTRIBUTES;
    }
    return AttributesFromStat(st, lpFileName);
}

BOOL SetFileAttributesA(LPCSTR lpFileName, DWORD dwFileAttributes) {
    if (lpFileName == nullptr || lpFileName[0] == '\0') {
        SetLastError(lpFileName == nullptr ? ERROR_INVALID_PARAMETER : ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    struct stat st;
    if (stat(lpFileName, &st) != 0) {
        SetLastErrorFromErrno(errno, lpFileName);
        return FALSE;
    }
    mode_t mode = ModeForAttributes(st.st_mode, dwFileAttributes);
    if (mode != (st.st_mode & 07777) && chmod(lpFileName, mode) != 0) {
        SetLastErrorFromErrno(errno, lpFileName);
        return FALSE;
    }
    return TRUE;
}

BOOL cab::SetDescriptorAttributes(int fd, DWORD dwFileAttributes) {
    struct stat st;
    if (fstat(fd, &st) != 0) {
        FailWithErrno(errno);
        return FALSE;
    }
    mode_t mode = ModeForAttributes(st.st_mode, dwFileAttributes);
    if (mode != (st.st_mode & 07777) && fchmod(fd, mode) != 0) {
        FailWithErrno(errno);
        return FALSE;
    }
    return TRUE;
}

BOOL PathFileExistsA(LPCSTR pszPath) {
    struct stat st;
    if (pszPath == nullptr || pszPath[0] == '\0') {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    if (stat(pszPath, &st) != 0) {
        SetLastErrorFromErrno(errno, pszPath);
        return FALSE;
    }
    return TRUE;
}

BOOL PathFileExistsW(LPCWSTR pszPath) {
    std::string narrow;
    if (pszPath == nullptr) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    if (!WideToAcpExact(pszPath, &narrow))
        return FALSE;
    return PathFileExistsA(narrow.c_str());
}

BOOL DeleteFileA(LPCSTR lpFileName) {
    if (lpFileName == nullptr || lpFileName[0] == '\0') {
        SetLastError(lpFileName == nullptr ? ERROR_INVALID_PARAMETER : ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    if (unlink(lpFileName) != 0) {
        SetLastErrorFromErrno(errno, lpFileName);
        return FALSE;
    }
    return TRUE;
}

DWORD GetTempPathW(DWORD nBufferLength, LPWSTR lpBuffer) {
    const char *tmpdir = getenv("TMPDIR");
    std::wstring path = AcpToWide(tmpdir != nullptr && tmpdir[0] != '\0' ? tmpdir : "/tmp");
    if (path.back() != L'/' && path.back() != L'\\')
        path += L'/';
    if (path.size() + 1 > nBufferLength || lpBuffer == nullptr) {
        if (path.size() + 1 > UINT32_MAX) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return 0;
        }
        return static_cast<DWORD>(path.size() + 1);
    }
    path.copy(lpBuffer, path.size());
    lpBuffer[path.size()] = L'\0';
    return static_cast<DWORD>(path.size());
}

int cab::OpenWithInformation(const char *filename, int oflag, int pmode,
                             LPBY_HANDLE_FILE_INFORMATION info) {
    int flags = cab::OpenFlagsFromCrt(oflag);
    if (filename == nullptr || flags < 0) {
        FailWithErrno(EINVAL);
        return -1;
    }
    mode_t mode = 0444;
    if (pmode & _S_IWRITE)
        mode |= 0222;
    int fd;
    do {
        fd = open(filename, flags, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        FailWithErrno(errno);
        return -1;
    }
    // Opening a folder for writing or creating already fails (EISDIR); only a plain read can
    // reach one.
    if (info == nullptr && ((flags & O_ACCMODE) != O_RDONLY || (flags & O_CREAT) != 0))
        return fd;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        if (info == nullptr)
            return fd;
        int err = errno;
        close(fd);
        FailWithErrno(err);
        return -1;
    }
    if (S_ISDIR(st.st_mode)) {
        close(fd);
        FailWithErrno(EACCES);
        return -1;
    }
    if (info != nullptr)
        *info = InformationFromStat(st, filename);
    return fd;
}

// POSIX implementation of platform/files.h.
#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <locale.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <new>
#include <random>
#include <string>
#include <string_view>

#include "platform/errors.h"
#include "platform/text.h"

namespace cab {
namespace {

// FILETIME of 1970-01-01 00:00:00.
constexpr int64_t kUnixEpochInFileTime = 116444736000000000LL;
constexpr int64_t kTicksPerSecond = 10000000;

enum class HandleKind : uint32_t { kFile = 0x46494c45, kFind = 0x46494e44 };

// Every handle this file gives out points at a HandleBase, so a handle of the wrong kind (or a
// stale one) is told apart before it is used.
struct HandleBase {
    explicit HandleBase(HandleKind k) : kind(k) {}
    HandleKind kind;
};

struct FileHandle : HandleBase {
    FileHandle() : HandleBase(HandleKind::kFile) {}
    int fd = -1;
    std::string path;
};

struct FindHandle : HandleBase {
    FindHandle() : HandleBase(HandleKind::kFind) {}
    DIR *dir = nullptr;
    std::string folder;   // ends with '/', or empty for the current folder
    std::string pattern;  // empty matches every name
};

bool IsSeparator(char ch) {
    return ch == '/' || ch == '\\';
}

void FailWithErrno(int err) {
    SetLastErrorFromErrno(err);
    errno = err;
}

HANDLE ToHandle(HandleBase *base) {
    return base;
}

template <typename T>
T *FromHandle(HANDLE h, HandleKind kind) {
    if (h == nullptr || h == INVALID_HANDLE_VALUE)
        return nullptr;
    auto *base = static_cast<HandleBase *>(h);
    return base->kind == kind ? static_cast<T *>(base) : nullptr;
}

FileHandle *AsFileHandle(HANDLE h) {
    return FromHandle<FileHandle>(h, HandleKind::kFile);
}

FindHandle *AsFindHandle(HANDLE h) {
    return FromHandle<FindHandle>(h, HandleKind::kFind);
}

int64_t ToInt64(const FILETIME &ft) {
    return static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) |
                                ft.dwLowDateTime);
}

FILETIME FromInt64(int64_t ticks) {
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) & 0xFFFFFFFFu);
    ft.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) >> 32);
    return ft;
}

FILETIME FromTimespec(const struct timespec &ts) {
    return FromInt64(kUnixEpochInFileTime + static_cast<int64_t>(ts.tv_sec) * kTicksPerSecond +
                     ts.tv_nsec / 100);
}

struct timespec ToTimespec(const FILETIME &ft) {
    int64_t since_epoch = ToInt64(ft) - kUnixEpochInFileTime;
    int64_t seconds = since_epoch / kTicksPerSecond;
    int64_t rest = since_epoch % kTicksPerSecond;
    if (rest < 0) {
        rest += kTicksPerSecond;
        --seconds;
    }
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(seconds);
    ts.tv_nsec = static_cast<long>(rest * 100);
    return ts;
}

// FILETIME values are unsigned 64-bit; anything at or above 2^63 is not a time.
bool IsValidFileTime(const FILETIME *ft) {
    return ft != nullptr && (ft->dwHighDateTime & 0x80000000u) == 0;
}

bool IsHiddenName(std::string_view path) {
    while (path.size() > 1 && IsSeparator(path.back()))
        path.remove_suffix(1);
    size_t slash = path.find_last_of("/\\");
    std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    return !name.empty() && name[0] == '.' && name != "." && name != "..";
}

DWORD AttributesFromStat(const struct stat &st, std::string_view path) {
    DWORD attributes = 0;
    if (S_ISDIR(st.st_mode))
        attributes |= FILE_ATTRIBUTE_DIRECTORY;
    else if (S_ISREG(st.st_mode))
        attributes |= FILE_ATTRIBUTE_ARCHIVE;
    if ((st.st_mode & S_IWUSR) == 0)
        attributes |= FILE_ATTRIBUTE_READONLY;
    if (IsHiddenName(path))
        attributes |= FILE_ATTRIBUTE_HIDDEN;
    return attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
}

void SplitSize(uint64_t size, DWORD *high, DWORD *low) {
    *high = static_cast<DWORD>(size >> 32);
    *low = static_cast<DWORD>(size & 0xFFFFFFFFu);
}

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

bool MatchesPattern(const std::string &pattern, const char *name) {
    return pattern.empty() || fnmatch(pattern.c_str(), name, FNM_NOESCAPE) == 0;
}

// Fills *data for the entry `name` of the open search; false when it is not to be listed.
bool DescribeEntry(const FindHandle &find, const char *name, WIN32_FIND_DATAW *data) {
    if (!MatchesPattern(find.pattern, name))
        return false;
    // Relative to the open folder: the kernel does not walk the whole path again per entry.
    struct stat st;
    if (fstatat(dirfd(find.dir), name, &st, 0) != 0)
        return false;  // dangling link, or gone meanwhile
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
        return false;
    std::wstring wide_name = AcpToWide(name);
    if (wide_name.size() >= MAX_PATH)
        return false;
    *data = WIN32_FIND_DATAW{};
    data->dwFileAttributes = AttributesFromStat(st, name);
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

bool IsFolder(const char *path) {
    struct stat st;
    return path != nullptr && path[0] != '\0' && stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// Writes all of [data, data + size); the errno of the failure (ENOSPC for a write that made no
// progress), or 0. *done receives the bytes written either way.
int WriteAll(int fd, const char *data, size_t size, size_t *done) {
    *done = 0;
    while (*done < size) {
        ssize_t put = write(fd, data + *done, size - *done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return put < 0 ? errno : ENOSPC;
        *done += static_cast<size_t>(put);
    }
    return 0;
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

BOOL SetFileTime(HANDLE hFile, const FILETIME * /*lpCreationTime*/,
                 const FILETIME *lpLastAccessTime, const FILETIME *lpLastWriteTime) {
    FileHandle *handle = AsFileHandle(hFile);
    if (handle == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return SetDescriptorTime(handle->fd, lpLastAccessTime, lpLastWriteTime);
}

BOOL cab::SetDescriptorTime(int fd, const FILETIME *lpLastAccessTime,
                            const FILETIME *lpLastWriteTime) {
    if ((lpLastAccessTime != nullptr && !IsValidFileTime(lpLastAccessTime)) ||
        (lpLastWriteTime != nullptr && !IsValidFileTime(lpLastWriteTime))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1] = times[0];
    if (lpLastAccessTime != nullptr)
        times[0] = ToTimespec(*lpLastAccessTime);
    if (lpLastWriteTime != nullptr)
        times[1] = ToTimespec(*lpLastWriteTime);
    if (futimens(fd, times) != 0) {
        FailWithErrno(errno);
        return FALSE;
    }
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

BOOL FileTimeToLocalFileTime(const FILETIME *lpFileTime, LPFILETIME lpLocalFileTime) {
    if (!IsValidFileTime(lpFileTime) || lpLocalFileTime == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    struct timespec ts = ToTimespec(*lpFileTime);
    struct tm local;
    if (localtime_r(&ts.tv_sec, &local) == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    int64_t offset = static_cast<int64_t>(local.tm_gmtoff) * kTicksPerSecond;
    *lpLocalFileTime = FromInt64(ToInt64(*lpFileTime) + offset);
    return TRUE;
}

BOOL LocalFileTimeToFileTime(const FILETIME *lpLocalFileTime, LPFILETIME lpFileTime) {
    if (!IsValidFileTime(lpLocalFileTime) || lpFileTime == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // mktime looks at the zone file again on every call (a stat each time); files unpacked
    // together mostly share a time, so the last answer is kept while TZ stays the same.
    struct LastAnswer {
        bool valid = false;
        int64_t local = 0;
        FILETIME utc{};
        std::string tz;
        bool tz_set = false;
    };
    thread_local LastAnswer last;
    const char *tz = getenv("TZ");
    const int64_t local_ticks = ToInt64(*lpLocalFileTime);
    if (last.valid && last.local == local_ticks && last.tz_set == (tz != nullptr) &&
        (tz == nullptr || last.tz == tz)) {
        *lpFileTime = last.utc;
        return TRUE;
    }
    struct timespec ts = ToTimespec(*lpLocalFileTime);
    struct tm fields;
    if (gmtime_r(&ts.tv_sec, &fields) == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    fields.tm_isdst = -1;
    errno = 0;
    time_t utc = mktime(&fields);
    if (utc == static_cast<time_t>(-1) && errno != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    int64_t ticks =
        kUnixEpochInFileTime + static_cast<int64_t>(utc) * kTicksPerSecond + ts.tv_nsec / 100;
    if (ticks < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpFileTime = FromInt64(ticks);
    last.valid = false;
    try {
        last.tz = tz != nullptr ? tz : "";
        last.tz_set = tz != nullptr;
        last.local = local_ticks;
        last.utc = *lpFileTime;
        last.valid = true;
    } catch (const std::bad_alloc &) {
        // Not kept: the next call asks mktime again.
    }
    return TRUE;
}

BOOL FileTimeToDosDateTime(const FILETIME *lpFileTime, WORD *lpFatDate, WORD *lpFatTime) {
    if (!IsValidFileTime(lpFileTime) || lpFatDate == nullptr || lpFatTime == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    struct timespec ts = ToTimespec(*lpFileTime);
    struct tm fields;
    if (gmtime_r(&ts.tv_sec, &fields) == nullptr || fields.tm_year < 80 || fields.tm_year > 207) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpFatDate = static_cast<WORD>(((fields.tm_year - 80) << 9) | ((fields.tm_mon + 1) << 5) |
                                   fields.tm_mday);
    *lpFatTime =
        static_cast<WORD>((fields.tm_hour << 11) | (fields.tm_min << 5) | (fields.tm_sec / 2));
    return TRUE;
}

BOOL DosDateTimeToFileTime(WORD wFatDate, WORD wFatTime, LPFILETIME lpFileTime) {
    static const int kDaysInMonth[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int year = 1980 + (wFatDate >> 9);
    int month = (wFatDate >> 5) & 0x0F;
    int day = wFatDate & 0x1F;
    int hour = wFatTime >> 11;
    int minute = (wFatTime >> 5) & 0x3F;
    int second = (wFatTime & 0x1F) * 2;
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (lpFileTime == nullptr || month < 1 || month > 12 || day < 1 ||
        day > kDaysInMonth[month - 1] || (month == 2 && day == 29 && !leap) || hour > 23 ||
        minute > 59 || second > 59) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    struct tm fields {};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    time_t seconds = timegm(&fields);
    *lpFileTime = FromInt64(kUnixEpochInFileTime + static_cast<int64_t>(seconds) * kTicksPerSecond);
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

int _open(const char *filename, int oflag, int pmode) {
    return cab::OpenWithInformation(filename, oflag, pmode, nullptr);
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

int _read(int fd, void *buffer, unsigned int count) {
    if (buffer == nullptr && count != 0) {
        FailWithErrno(EINVAL);
        return -1;
    }
    size_t want = count > static_cast<unsigned int>(INT_MAX) ? INT_MAX : count;
    ssize_t got;
    do {
        got = read(fd, buffer, want);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        FailWithErrno(errno);
        return -1;
    }
    return static_cast<int>(got);
}

int _write(int fd, const void *buffer, unsigned int count) {
    if (buffer == nullptr && count != 0) {
        FailWithErrno(EINVAL);
        return -1;
    }
    size_t want = count > static_cast<unsigned int>(INT_MAX) ? INT_MAX : count;
    size_t done = 0;
    int err = cab::WriteAll(fd, static_cast<const char *>(buffer), want, &done);
    if (err != 0) {
        FailWithErrno(err);
        return done == 0 ? -1 : static_cast<int>(done);
    }
    return static_cast<int>(done);
}

int _close(int fd) {
    if (close(fd) != 0 && errno != EINTR) {
        FailWithErrno(errno);
        return -1;
    }
    return 0;
}

long _lseek(int fd, long offset, int origin) {
    if (origin != SEEK_SET && origin != SEEK_CUR && origin != SEEK_END) {
        FailWithErrno(EINVAL);
        return -1L;
    }
    off_t position = lseek(fd, static_cast<off_t>(offset), origin);
    if (position < 0) {
        FailWithErrno(errno);
        return -1L;
    }
    return static_cast<long>(position);
}

char *_tempnam(const char *dir, const char *prefix) {
    static const char kAlphabet[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    thread_local std::mt19937_64 generator{std::random_device{}() ^
                                           (static_cast<uint64_t>(getpid()) << 32)};
    const char *tmpdir = getenv("TMPDIR");
    std::string folder = IsFolder(tmpdir) ? tmpdir : IsFolder(dir) ? dir : "/tmp";
    if (!IsSeparator(folder.back()))
        folder += '/';
    folder += prefix != nullptr ? prefix : "";
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = folder;
        for (int i = 0; i < 6; ++i)
            name += kAlphabet[generator() % (sizeof(kAlphabet) - 1)];
        struct stat st;
        if (lstat(name.c_str(), &st) == 0)
            continue;
        if (errno != ENOENT) {
            FailWithErrno(errno);
            return nullptr;
        }
        char *result = strdup(name.c_str());
        if (result == nullptr)
            FailWithErrno(ENOMEM);
        return result;
    }
    FailWithErrno(EEXIST);
    return nullptr;
}

int _isatty(int fd) {
    return isatty(fd) ? 1 : 0;
}

int _fileno(FILE *stream) {
    if (stream == nullptr) {
        FailWithErrno(EINVAL);
        return -1;
    }
    return fileno(stream);
}

FILE *cab::OpenWideTextReader(const char *path) {
    int fd = path != nullptr ? open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY) : -1;
    if (fd < 0) {
        int err = path != nullptr ? errno : EINVAL;
        SetLastErrorFromErrno(err, path);
        errno = err;
        return nullptr;
    }
    std::string bytes;
    char chunk[65536];
    ssize_t got;
    while ((got = read(fd, chunk, sizeof(chunk))) != 0) {
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            int err = errno;
            close(fd);
            FailWithErrno(err);
            return nullptr;
        }
        bytes.append(chunk, static_cast<size_t>(got));
    }
    close(fd);

    // Names in a list are handed to the system exactly, so a file that is not UTF-8 is refused
    // whole rather than read up to its first bad byte.
    std::wstring text = AcpToWide(bytes);
    for (wchar_t unit : text) {
        if (unit >= 0xDC80 && unit <= 0xDCFF) {
            SetLastError(ERROR_NO_UNICODE_TRANSLATION);
            errno = EILSEQ;
            return nullptr;
        }
    }
    std::string lines;
    lines.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != '\r' || i + 1 == bytes.size() || bytes[i + 1] != '\n')
            lines += bytes[i];
    }
    // The stream's decoder is fixed when it is oriented, and it points into the locale, which
    // therefore lives as long as the process.
    static locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    if (utf8 == static_cast<locale_t>(0)) {
        FailWithErrno(ENOENT);
        return nullptr;
    }
    // Wide reading needs a real file stream; an anonymous in-memory file holds the text.
    int mem = memfd_create("wide-text", MFD_CLOEXEC);
    if (mem < 0) {
        FailWithErrno(errno);
        return nullptr;
    }
    size_t written = 0;
    int write_error = WriteAll(mem, lines.data(), lines.size(), &written);
    if (write_error != 0) {
        close(mem);
        FailWithErrno(write_error);
        return nullptr;
    }
    std::string proc_path = "/proc/self/fd/" + std::to_string(mem);
    FILE *stream = fopen(proc_path.c_str(), "r");
    int err = errno;
    close(mem);
    if (stream == nullptr) {
        FailWithErrno(err);
        return nullptr;
    }
    locale_t previous = uselocale(utf8);
    fwide(stream, 1);
    uselocale(previous);
    return stream;
}

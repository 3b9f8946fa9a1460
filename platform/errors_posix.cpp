#include "platform/errors.h"

#include <errno.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

thread_local DWORD t_last_error = ERROR_SUCCESS;

struct MessageText {
    DWORD code;
    const char *text;
};

// One text per code the platform sets; each ends in a line feed, as the system's texts do.
constexpr MessageText kMessages[] = {
    {ERROR_SUCCESS, "The operation completed successfully.\n"},
    {ERROR_INVALID_FUNCTION, "Incorrect function.\n"},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\n"},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified.\n"},
    {ERROR_TOO_MANY_OPEN_FILES, "The system cannot open the file.\n"},
    {ERROR_ACCESS_DENIED, "Access is denied.\n"},
    {ERROR_INVALID_HANDLE, "The handle is invalid.\n"},
    {ERROR_NOT_ENOUGH_MEMORY,
     "Not enough memory resources are available to process this command.\n"},
    {ERROR_OUTOFMEMORY, "Not enough memory resources are available to complete this operation.\n"},
    {ERROR_NOT_SAME_DEVICE, "The system cannot move the file to a different disk drive.\n"},
    {ERROR_NO_MORE_FILES, "There are no more files.\n"},
    {ERROR_WRITE_PROTECT, "The media is write protected.\n"},
    {ERROR_SEEK, "The drive cannot locate a specific area or track on the disk.\n"},
    {ERROR_WRITE_FAULT, "The system cannot write to the specified device.\n"},
    {ERROR_READ_FAULT, "The system cannot read from the specified device.\n"},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning.\n"},
    {ERROR_SHARING_VIOLATION,
     "The process cannot access the file because it is being used by another process.\n"},
    {ERROR_LOCK_VIOLATION,
     "The process cannot access the file because another process has locked a portion of the "
     "file.\n"},
    {ERROR_HANDLE_EOF, "Reached the end of the file.\n"},
    {ERROR_NOT_SUPPORTED, "The request is not supported.\n"},
    {ERROR_FILE_EXISTS, "The file exists.\n"},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect.\n"},
    {ERROR_BROKEN_PIPE, "The pipe has been ended.\n"},
    {ERROR_DISK_FULL, "There is not enough space on the disk.\n"},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small.\n"},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect.\n"},
    {ERROR_NEGATIVE_SEEK,
     "An attempt was made to move the file pointer before the beginning of the file.\n"},
    {ERROR_DIR_NOT_EMPTY, "The directory is not empty.\n"},
    {ERROR_BAD_PATHNAME, "The specified path is invalid.\n"},
    {ERROR_BUSY, "The requested resource is in use.\n"},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists.\n"},
    {ERROR_FILENAME_EXCED_RANGE, "The filename or extension is too long.\n"},
    {ERROR_FILE_TOO_LARGE, "The file size exceeds the limit allowed and cannot be saved.\n"},
    {ERROR_DIRECTORY, "The directory name is invalid.\n"},
    {ERROR_INVALID_FLAGS, "Invalid flags.\n"},
    {ERROR_NO_UNICODE_TRANSLATION,
     "No mapping for the Unicode character exists in the target multi-byte code page.\n"},
    {ERROR_CANCELLED, "The operation was canceled by the user.\n"},
    {ERROR_CANT_RESOLVE_FILENAME, "The name of the file cannot be resolved by the system.\n"},
};

const char *FindMessage(DWORD code) {
    for (const auto &m : kMessages) {
        if (m.code == code) {
            return m.text;
        }
    }
    return nullptr;
}

}  // namespace

DWORD GetLastError() {
    return t_last_error;
}

void SetLastError(DWORD dwErrCode) {
    t_last_error = dwErrCode;
}

DWORD FormatMessageA(DWORD dwFlags, const void *lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                     LPSTR lpBuffer, DWORD nSize, va_list *Arguments) {
    (void)lpSource;
    (void)dwLanguageId;
    (void)Arguments;
    if ((dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || lpBuffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const char *text = FindMessage(dwMessageId);
    if (text == nullptr) {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    size_t len = std::strlen(text);
    if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        char *block = static_cast<char *>(std::malloc(len + 1));
        if (block == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        std::memcpy(block, text, len + 1);
        *reinterpret_cast<char **>(lpBuffer) = block;
        return static_cast<DWORD>(len);
    }
    if (nSize < len + 1) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(lpBuffer, text, len + 1);
    return static_cast<DWORD>(len);
}

HLOCAL LocalFree(HLOCAL hMem) {
    std::free(hMem);
    return nullptr;
}

void OutputDebugStringA(LPCSTR lpOutputString) {
    (void)lpOutputString;
}

namespace cab {

DWORD Win32ErrorFromErrno(int err) {
    switch (err) {
        case 0:
            return ERROR_SUCCESS;
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EISDIR:
            return ERROR_ACCESS_DENIED;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EEXIST:
            return ERROR_ALREADY_EXISTS;
        case ENOSPC:
        case EDQUOT:
            return ERROR_DISK_FULL;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        case EROFS:
            return ERROR_WRITE_PROTECT;
        case EXDEV:
            return ERROR_NOT_SAME_DEVICE;
        case ENOTEMPTY:
            return ERROR_DIR_NOT_EMPTY;
        case EBUSY:
        case ETXTBSY:
            return ERROR_BUSY;
        case EFBIG:
            return ERROR_FILE_TOO_LARGE;
        case ESPIPE:
            return ERROR_SEEK;
        case EPIPE:
            return ERROR_BROKEN_PIPE;
        case EILSEQ:
            return ERROR_NO_UNICODE_TRANSLATION;
        case ELOOP:
            return ERROR_CANT_RESOLVE_FILENAME;
        case ENOSYS:
        case EOPNOTSUPP:
            return ERROR_NOT_SUPPORTED;
        case EAGAIN:
            return ERROR_LOCK_VIOLATION;
        case ECANCELED:
            return ERROR_CANCELLED;
        default:
            return ERROR_GEN_FAILURE;
    }
}

void SetLastErrorFromErrno(int err) {
    SetLastError(Win32ErrorFromErrno(err));
}

void FailWithErrno(int err) {
    SetLastErrorFromErrno(err);
    errno = err;
}

void SetLastErrorFromErrno(int err, const char *path) {
    DWORD code = Win32ErrorFromErrno(err);
    if (err == ENOENT && path != nullptr) {
        std::string folder(path);
        while (!folder.empty() && folder.back() == '/') {
            folder.pop_back();
        }
        size_t slash = folder.rfind('/');
        if (slash != std::string::npos) {
            folder.resize(slash == 0 ? 1 : slash);
            struct stat st;
            if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
                code = ERROR_PATH_NOT_FOUND;
            }
        }
    }
    SetLastError(code);
}

HRESULT HresultFromWin32OrFail(DWORD code) {
    HRESULT hr = HRESULT_FROM_WIN32(code);
    return SUCCEEDED(hr) ? E_FAIL : hr;
}

}  // namespace cab

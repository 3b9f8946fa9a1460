// Win32 error reporting stand-ins: the thread-local last error, its text, and the debugger
// channel. Every platform stand-in that fails sets the last error, mapped from errno.
#pragma once

#include <cstdarg>

#include "platform/wintypes.h"

// The calling thread's last error code (ERROR_*). Starts at ERROR_SUCCESS on each thread.
DWORD GetLastError();
void SetLastError(DWORD dwErrCode);

// Supports FORMAT_MESSAGE_FROM_SYSTEM for the codes the platform maps, with or without
// FORMAT_MESSAGE_ALLOCATE_BUFFER (then lpBuffer is really a char ** and the text is released
// with LocalFree). The text is fixed English ending in one line feed; the result is its length
// without the terminator, or 0 with the last error set (ERROR_MR_MID_NOT_FOUND for a code without
// text, ERROR_INSUFFICIENT_BUFFER when nSize is too small, ERROR_INVALID_PARAMETER otherwise).
// Inserts are never expanded; dwLanguageId is ignored.
DWORD FormatMessageA(DWORD dwFlags, const void *lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                     LPSTR lpBuffer, DWORD nSize, va_list *Arguments);

// Releases a block that FormatMessageA allocated. Returns nullptr on success.
HLOCAL LocalFree(HLOCAL hMem);

// There is no debugger channel on POSIX: does nothing.
void OutputDebugStringA(LPCSTR lpOutputString);

namespace cab {

// errno -> Win32 error: ENOENT 2, ENOTDIR 3, EACCES/EPERM/EISDIR 5, ENOMEM 8, EEXIST 183,
// ENOSPC 112, ENAMETOOLONG 206, EINVAL 87, EBADF 6, EMFILE 4, EROFS 19, EILSEQ 1113, ...;
// anything unmapped gives ERROR_GEN_FAILURE (31). errno 0 gives ERROR_SUCCESS.
DWORD Win32ErrorFromErrno(int err);

// SetLastError(Win32ErrorFromErrno(err)).
void SetLastErrorFromErrno(int err);

// As above, but ENOENT becomes ERROR_PATH_NOT_FOUND (3) when the folder part of `path` (narrow,
// ANSI code page) does not exist, as Windows tells a missing folder from a missing file.
void SetLastErrorFromErrno(int err, const char *path);

// Sets errno to err and the last error from it, as a failing C-runtime stand-in leaves both.
void FailWithErrno(int err);

// HRESULT_FROM_WIN32(code), but E_FAIL when that is not a failure (code 0 or a success code).
HRESULT HresultFromWin32OrFail(DWORD code);

// Saves the last error on construction and puts it back on destruction, for code (such as the
// diagnostics) that must not disturb the error it reports.
class LastErrorPreserver {
public:
    LastErrorPreserver() : saved_(GetLastError()) {}
    ~LastErrorPreserver() { SetLastError(saved_); }
    LastErrorPreserver(const LastErrorPreserver &) = delete;
    LastErrorPreserver &operator=(const LastErrorPreserver &) = delete;

private:
    DWORD saved_;
};

}  // namespace cab

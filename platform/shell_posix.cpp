// Folder, path and environment stand-ins.
#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cwchar>
#include <string>

#include "platform/errors.h"
#include "platform/shell.h"
#include "platform/text.h"

namespace {

bool IsSeparator(wchar_t c) {
    return c == L'/' || c == L'\\';
}

bool IsFolder(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Creates one level; ERROR_SUCCESS, ERROR_ALREADY_EXISTS for a folder already there, or the
// failure.
DWORD MakeLevel(const std::string &path) {
    if (mkdir(path.c_str(), 0777) == 0) {
        return ERROR_SUCCESS;
    }
    const int err = errno;
    if (err == EEXIST) {
        return IsFolder(path) ? ERROR_ALREADY_EXISTS : ERROR_DIRECTORY;
    }
    return cab::Win32ErrorFromErrno(err);
}

int Answer(DWORD code) {
    SetLastError(code);
    return static_cast<int>(code);
}

}  // namespace

DWORD ExpandEnvironmentStringsW(LPCWSTR lpSrc, LPWSTR lpDst, DWORD nSize) {
    if (lpSrc == nullptr || (nSize > 0 && lpDst == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::wstring result;
    for (const wchar_t *p = lpSrc; *p != 0;) {
        const wchar_t *close = *p == L'%' ? std::wcschr(p + 1, L'%') : nullptr;
        if (close == nullptr) {
            result.push_back(*p++);
            continue;
        }
        const std::wstring_view name(p + 1, static_cast<size_t>(close - p - 1));
        std::string narrow_name;
        const char *value = nullptr;
        if (!name.empty() && cab::WideToAcpExact(name, &narrow_name)) {
            value = getenv(narrow_name.c_str());
        }
        if (value == nullptr) {
            // An unknown reference stays as written, closing '%' included.
            result.append(p, close + 1);
        } else {
            result.append(cab::AcpToWide(value));
        }
        p = close + 1;
    }
    const size_t needed = result.size() + 1;
    if (needed > 0xFFFFFFFFu) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (needed <= nSize) {
        wmemcpy(lpDst, result.c_str(), needed);
    }
    return static_cast<DWORD>(needed);
}

int SHCreateDirectory(HWND hwnd, LPCWSTR pszPath) {
    (void)hwnd;
    if (pszPath == nullptr || *pszPath == 0) {
        return Answer(ERROR_BAD_PATHNAME);
    }
    std::string path;
    if (!cab::WideToAcpExact(pszPath, &path)) {
        return Answer(ERROR_INVALID_NAME);
    }
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    // Most calls name a folder whose parent is there already: one mkdir then settles it. Only
    // a missing level on the way needs the walk from the top.
    if (path.find('/', 1) != std::string::npos) {
        const DWORD code = MakeLevel(path);
        if (code == ERROR_SUCCESS || code == ERROR_ALREADY_EXISTS) {
            return Answer(code);
        }
    }
    // Create the levels on the way first; a level that is already a folder is fine.
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        if (path[slash - 1] == '/') {
            continue;
        }
        const std::string level = path.substr(0, slash);
        const DWORD code = MakeLevel(level);
        if (code == ERROR_DIRECTORY) {
            return Answer(ERROR_PATH_NOT_FOUND);
        }
        if (code != ERROR_SUCCESS && code != ERROR_ALREADY_EXISTS && !IsFolder(level)) {
            return Answer(code);
        }
    }
    return Answer(MakeLevel(path));
}

BOOL PathIsDirectoryW(LPCWSTR pszPath) {
    std::string path;
    if (pszPath == nullptr || !cab::WideToAcpExact(pszPath, &path)) {
        return FALSE;
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        cab::SetLastErrorFromErrno(errno, path.c_str());
        return FALSE;
    }
    return S_ISDIR(st.st_mode) ? 0x10 : FALSE;
}

LPWSTR PathRemoveBackslashW(LPWSTR pszPath) {
    if (pszPath == nullptr) {
        return nullptr;
    }
    const size_t length = std::wcslen(pszPath);
    if (length == 0) {
        return pszPath;
    }
    wchar_t *last = pszPath + length - 1;
    if (IsSeparator(*last) && length > 1) {
        *last = 0;
        return last;
    }
    return last;
}

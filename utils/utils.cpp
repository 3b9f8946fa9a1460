#include "utils/utils.h"

#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>

#include "diagnostics/dpf.h"
#include "platform/errors.h"
#include "platform/shell.h"
#include "platform/text.h"

namespace {

constexpr size_t kPrintfCapacity = 1024;
constexpr int kCreateAttempts = 20;

bool IsSeparator(wchar_t c) {
    return c == L'/' || c == L'\\';
}

// Logs a FAIL-level line from this file under pszFunction.
#define UTIL_FAIL(pszFunction, ...) DPF_FAIL_AT(pszFunction, __VA_ARGS__)

// Whole-name match of name against pattern, where '*' matches any run, '?' one unit and '\'
// makes the next unit ordinary. The pattern must not end in a lone backslash. Only the latest
// star is ever resumed: an earlier star could only take over a run the latest one can take too,
// so the work stays within length(name) x length(pattern).
bool MatchWhole(const wchar_t *name, const wchar_t *pattern) {
    const wchar_t *star_pattern = nullptr;
    const wchar_t *star_name = nullptr;
    while (*name != 0) {
        if (*pattern == L'*') {
            while (*pattern == L'*') {
                ++pattern;
            }
            star_pattern = pattern;
            star_name = name;
            continue;
        }
        bool matched = false;
        size_t step = 1;
        if (*pattern == L'\\') {
            matched = pattern[1] == *name;
            step = 2;
        } else if (*pattern != 0) {
            matched = *pattern == L'?' || *pattern == *name;
        }
        if (matched) {
            pattern += step;
            ++name;
            continue;
        }
        if (star_pattern == nullptr) {
            return false;
        }
        pattern = star_pattern;
        name = ++star_name;
    }
    while (*pattern == L'*') {
        ++pattern;
    }
    return *pattern == 0;
}

bool EndsInLoneBackslash(const wchar_t *pattern) {
    for (const wchar_t *p = pattern; *p != 0; ++p) {
        if (*p == L'\\') {
            if (p[1] == 0) {
                return true;
            }
            ++p;
        }
    }
    return false;
}

}  // namespace

int ConvertWSTRToPSTR(const wchar_t *pszSource, char *pszDest, int cchDest) {
    if (pszDest == nullptr) {
        return 0;
    }
    int written = 0;
    if (cchDest <= 0) {
        // A capacity of 0 would ask for the size and write nothing: never a success here.
        SetLastError(cchDest == 0 ? ERROR_INSUFFICIENT_BUFFER : ERROR_INVALID_PARAMETER);
    } else {
        written = WideCharToMultiByte(CP_ACP, WC_COMPOSITECHECK | WC_NO_BEST_FIT_CHARS, pszSource,
                                      -1, pszDest, cchDest, nullptr, nullptr);
    }
    if (written == 0) {
        UTIL_FAIL("ConvertWSTRToPSTR", "WideCharToMultiByte failed");
        DPFLastError();
    }
    return written;
}

HRESULT UtilConvertPSTRToWstring(const char *pszSource, std::wstring *pwstrDest) {
    if (pszSource == nullptr || pwstrDest == nullptr) {
        return E_INVALIDARG;
    }
    pwstrDest->clear();
    const size_t source_length = std::strlen(pszSource);
    int needed = 0;
    if (source_length >= INT_MAX) {
        SetLastError(ERROR_INVALID_PARAMETER);
    } else {
        needed = MultiByteToWideChar(CP_ACP, 0, pszSource, static_cast<int>(source_length + 1),
                                     nullptr, 0);
    }
    if (needed == 0) {
        HRESULT hr = cab::HresultFromWin32OrFail(GetLastError());
        UTIL_FAIL("UtilConvertPSTRToWstring", "MultiByteToWideChar failed");
        DPFLastError();
        return hr;
    }
    wchar_t *buffer = new (std::nothrow) wchar_t[static_cast<size_t>(needed) + 1];
    if (buffer == nullptr) {
        UTIL_FAIL("UtilConvertPSTRToWstring", "OOM");
        return E_OUTOFMEMORY;
    }
    if (MultiByteToWideChar(CP_ACP, 0, pszSource, static_cast<int>(source_length + 1), buffer,
                            needed + 1) == 0) {
        UTIL_FAIL("UtilConvertPSTRToWstring", "MultiByteToWideChar error");
        HRESULT hr = cab::HresultFromWin32OrFail(GetLastError());
        DPFLastError();
        delete[] buffer;
        return hr;
    }
    pwstrDest->assign(buffer);
    delete[] buffer;
    return S_OK;
}

wchar_t *UtilGetDuplicateString(const wchar_t *pwszSource) {
    if (pwszSource == nullptr) {
        UTIL_FAIL("UtilGetDuplicateString", "Invalid input passed");
        return nullptr;
    }
    const size_t length = std::wcslen(pwszSource);
    const size_t capacity = length == 0 ? 2 : length + 1;
    const size_t bytes = capacity * sizeof(wchar_t);
    auto *copy = static_cast<wchar_t *>(std::malloc(bytes));
    if (copy == nullptr) {
        UTIL_FAIL("UtilGetDuplicateString", "Unable to allocate %zu bytes", bytes);
        return nullptr;
    }
    copy[0] = 0;
    if (FAILED(StringCchCopyW(copy, capacity, pwszSource))) {
        UTIL_FAIL("UtilGetDuplicateString", "StringCchCopy failed");
        std::free(copy);
        return nullptr;
    }
    return copy;
}

void UtilFreeDuplicateString(wchar_t **ppwsz) {
    if (ppwsz != nullptr && *ppwsz != nullptr) {
        std::free(*ppwsz);
        *ppwsz = nullptr;
        return;
    }
    DPFLocation(__FILE__, "UtilFreeDuplicateString", __LINE__);
    DPF(DPF_WARN, "Invalid input passed");
}

HRESULT UtilStringPrintfWstring(std::wstring &wstrDest, const wchar_t *pwszFormat, ...) {
    wchar_t buffer[kPrintfCapacity];
    buffer[0] = 0;
    va_list args;
    va_start(args, pwszFormat);
    HRESULT hr = StringCchVPrintfW(buffer, kPrintfCapacity, pwszFormat, args);
    va_end(args);
    wstrDest.assign(buffer);
    return hr;
}

std::wstring UtilExpandEnvVariable(const wchar_t *pwszSource) {
    std::wstring result;
    const DWORD needed = ExpandEnvironmentStringsW(pwszSource, nullptr, 0);
    const size_t capacity = needed > 0 ? needed : 1;
    wchar_t *buffer = new (std::nothrow) wchar_t[capacity];
    if (buffer == nullptr) {
        UTIL_FAIL("UtilExpandEnvVariable", "Out of memory trying to allocate %zu bytes",
                  capacity * sizeof(wchar_t));
        return result;
    }
    const DWORD expanded = ExpandEnvironmentStringsW(pwszSource, buffer, needed);
    // A larger answer than the first one means the environment changed in between and nothing
    // was written.
    if (expanded == 0 || expanded > needed) {
        if (expanded > needed) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
        }
        UTIL_FAIL("UtilExpandEnvVariable", "ExpandEnvironmenwstrings failed");
        DPFLastError();
    } else {
        result.assign(buffer);
    }
    delete[] buffer;
    return result;
}

HRESULT UtilRemoveTrailingSlash(std::wstring *pwstrPath, int *pfHadSlash) {
    if (pwstrPath == nullptr) {
        return E_INVALIDARG;
    }
    if (pfHadSlash != nullptr) {
        *pfHadSlash = 0;
    }
    if (pwstrPath->empty() || !IsSeparator(pwstrPath->back())) {
        return S_OK;
    }
    wchar_t *copy = UtilGetDuplicateString(pwstrPath->c_str());
    if (copy == nullptr) {
        // The path stays as it was; the caller learns of the failure from the result.
        return E_OUTOFMEMORY;
    }
    PathRemoveBackslashW(copy);
    pwstrPath->assign(copy);
    if (pfHadSlash != nullptr) {
        *pfHadSlash = 1;
    }
    UtilFreeDuplicateString(&copy);
    return S_OK;
}

HRESULT UtilAppendPathSeparator(std::wstring *pwstrPath) {
    if (pwstrPath == nullptr) {
        UTIL_FAIL("UtilAppendPathSeparator", "NULL pased");
        return E_INVALIDARG;
    }
    if (pwstrPath->empty()) {
        UTIL_FAIL("UtilAppendPathSeparator", "The path passed has zero length");
        return E_INVALIDARG;
    }
    if (!IsSeparator(pwstrPath->back())) {
        pwstrPath->push_back(L'/');
    }
    return S_OK;
}

HRESULT UtilCreateDirectory(std::wstring *pwstrPath) {
    if (pwstrPath == nullptr || pwstrPath->empty()) {
        return E_INVALIDARG;
    }
    // The separator given is the one put back, so an unchanged folder comes back as written.
    const wchar_t trailing = pwstrPath->back();
    std::wstring work = *pwstrPath;
    int had_slash = 0;
    HRESULT hr = UtilRemoveTrailingSlash(&work, &had_slash);
    if (FAILED(hr)) {
        UTIL_FAIL("UtilCreateDirectory", "UtilRemoveTrailingSlash failed with %d", hr);
        return hr;
    }
    const std::wstring base = work;
    std::wstring suffix;
    if (!PathIsDirectoryW(work.c_str())) {
        int attempt = 0;
        for (; attempt < kCreateAttempts; ++attempt) {
            const int answer = SHCreateDirectory(nullptr, work.c_str());
            if (answer == ERROR_SUCCESS || answer == ERROR_ALREADY_EXISTS) {
                if (attempt > 0) {
                    UtilStringPrintfWstring(suffix, L"%X", attempt - 1);
                }
                break;
            }
            if (FAILED(UtilStringPrintfWstring(work, L"%s%X", base.c_str(), attempt))) {
                UTIL_FAIL("UtilCreateDirectory", "UtilStringPrintfWstring failed");
                return E_FAIL;
            }
        }
        if (attempt == kCreateAttempts) {
            UTIL_FAIL("UtilCreateDirectory",
                      "Could not create the folder where we can copy the files");
            return E_FAIL;
        }
    }
    std::wstring result = base + suffix;
    // A root keeps its separator through the removal; it must not gain a second one.
    if (had_slash && (result.empty() || !IsSeparator(result.back()))) {
        result.push_back(trailing);
    }
    *pwstrPath = result;
    return S_OK;
}

HRESULT UtilCompareWildCards(const wchar_t *pwszName, const wchar_t *pwszPattern, int fIgnoreCase,
                             int *pfMatch) {
    if (pwszName == nullptr || pwszPattern == nullptr || pfMatch == nullptr) {
        UTIL_FAIL("UtilCompareWildCards", "Invalid args passed");
        return E_INVALIDARG;
    }
    if (EndsInLoneBackslash(pwszPattern)) {
        return E_FAIL;
    }
    if (!fIgnoreCase) {
        *pfMatch = MatchWhole(pwszName, pwszPattern) ? 1 : 0;
        return S_OK;
    }
    wchar_t *name = UtilGetDuplicateString(pwszName);
    wchar_t *pattern = name != nullptr ? UtilGetDuplicateString(pwszPattern) : nullptr;
    HRESULT hr = S_OK;
    if (name == nullptr || pattern == nullptr) {
        UTIL_FAIL("UtilCompareWildCards", "UtilGetDuplicateString failed");
        hr = E_FAIL;
    } else {
        CharLowerW(name);
        CharLowerW(pattern);
        *pfMatch = MatchWhole(name, pattern) ? 1 : 0;
    }
    if (name != nullptr) {
        UtilFreeDuplicateString(&name);
    }
    if (pattern != nullptr) {
        UtilFreeDuplicateString(&pattern);
    }
    return hr;
}

HRESULT UtilCompareWildCards(const char *pszName, const char *pszPattern, int fIgnoreCase,
                             int *pfMatch) {
    std::wstring name;
    std::wstring pattern;
    HRESULT hr = UtilConvertPSTRToWstring(pszName, &name);
    if (SUCCEEDED(hr)) {
        hr = UtilConvertPSTRToWstring(pszPattern, &pattern);
    }
    if (FAILED(hr)) {
        UTIL_FAIL("UtilCompareWildCards", "UtilConvertPSTRToWstring failed");
        return hr;
    }
    return UtilCompareWildCards(name.c_str(), pattern.c_str(), fIgnoreCase, pfMatch);
}

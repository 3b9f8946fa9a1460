// Safe-string functions and case folding.
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>
#include <wctype.h>

#include <cstring>
#include <string>

#include "platform/text.h"

namespace {

// Case tables independent of the process locale, which a library must not change.
locale_t CaseLocale() {
    static locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    return locale;
}

wchar_t FoldCase(wchar_t c) {
    locale_t locale = CaseLocale();
    return locale != static_cast<locale_t>(0) ? static_cast<wchar_t>(towlower_l(c, locale))
                                              : static_cast<wchar_t>(towlower(c));
}

template <typename Char>
bool ValidCapacity(Char *dest, size_t cch) {
    if (dest == nullptr || cch == 0) {
        return false;
    }
    if (cch > STRSAFE_MAX_CCH) {
        dest[0] = 0;
        return false;
    }
    return true;
}

template <typename Char>
HRESULT CopyBounded(Char *dest, size_t cch, const Char *src) {
    size_t i = 0;
    if (src != nullptr) {
        for (; i + 1 < cch && src[i] != 0; ++i) {
            dest[i] = src[i];
        }
    }
    dest[i] = 0;
    return src != nullptr && src[i] != 0 ? STRSAFE_E_INSUFFICIENT_BUFFER : S_OK;
}

template <typename Char>
HRESULT Copy(Char *dest, size_t cch, const Char *src) {
    if (!ValidCapacity(dest, cch)) {
        return STRSAFE_E_INVALID_PARAMETER;
    }
    return CopyBounded(dest, cch, src);
}

template <typename Char>
HRESULT Cat(Char *dest, size_t cch, const Char *src) {
    if (!ValidCapacity(dest, cch)) {
        return STRSAFE_E_INVALID_PARAMETER;
    }
    size_t used = 0;
    while (used < cch && dest[used] != 0) {
        ++used;
    }
    if (used == cch) {
        return STRSAFE_E_INVALID_PARAMETER;
    }
    return CopyBounded(dest + used, cch - used, src);
}

template <typename Char>
HRESULT Length(const Char *psz, size_t cch_max, size_t *length) {
    if (psz != nullptr && cch_max <= STRSAFE_MAX_CCH) {
        for (size_t i = 0; i < cch_max; ++i) {
            if (psz[i] == 0) {
                if (length != nullptr) {
                    *length = i;
                }
                return S_OK;
            }
        }
    }
    if (length != nullptr) {
        *length = 0;
    }
    return STRSAFE_E_INVALID_PARAMETER;
}

// Rewrites a Windows wide printf format for the C library's: there %s and %c take narrow
// arguments, so the wide ones need an 'l'. Returns false for %n, which is never honoured.
bool TranslateWideFormat(const wchar_t *format, std::wstring *out) {
    for (const wchar_t *p = format; *p != 0;) {
        if (*p != L'%') {
            out->push_back(*p++);
            continue;
        }
        out->push_back(*p++);
        if (*p == L'%') {
            out->push_back(*p++);
            continue;
        }
        while (*p != 0 && std::wcschr(L"-+ #0'", *p) != nullptr) {
            out->push_back(*p++);
        }
        while (*p == L'*' || (*p >= L'0' && *p <= L'9')) {
            out->push_back(*p++);
        }
        if (*p == L'.') {
            out->push_back(*p++);
            while (*p == L'*' || (*p >= L'0' && *p <= L'9')) {
                out->push_back(*p++);
            }
        }
        enum { kNone, kShort, kLong, kOther } width = kNone;
        std::wstring length;
        if (p[0] == L'I' && p[1] == L'6' && p[2] == L'4') {
            length = L"ll";
            width = kOther;
            p += 3;
        } else if (p[0] == L'I' && p[1] == L'3' && p[2] == L'2') {
            width = kOther;
            p += 3;
        } else if (p[0] == L'I') {
            length = L"z";
            width = kOther;
            p += 1;
        } else if (p[0] == L'h' && p[1] != L'h') {
            width = kShort;
            p += 1;
        } else if ((p[0] == L'l' && p[1] != L'l') || p[0] == L'w') {
            width = kLong;
            p += 1;
        } else {
            while (*p != 0 && std::wcschr(L"hlLqjzt", *p) != nullptr) {
                length.push_back(*p++);
            }
            width = length.empty() ? kNone : kOther;
        }
        const wchar_t conv = *p;
        if (conv == 0 || conv == L'n') {
            return false;
        }
        ++p;
        if (conv == L's' || conv == L'c' || conv == L'S' || conv == L'C') {
            const bool upper = conv == L'S' || conv == L'C';
            const bool wide = width == kLong || (width == kNone && !upper);
            if (wide) {
                out->push_back(L'l');
            }
            out->push_back(upper ? static_cast<wchar_t>(conv + (L'a' - L'A')) : conv);
            continue;
        }
        if (width == kShort) {
            out->push_back(L'h');
        } else if (width == kLong) {
            out->push_back(L'l');
        }
        out->append(length);
        out->push_back(conv);
    }
    return true;
}

}  // namespace

LPWSTR CharLowerW(LPWSTR lpsz) {
    if (lpsz != nullptr) {
        for (wchar_t *p = lpsz; *p != 0; ++p) {
            *p = FoldCase(*p);
        }
    }
    return lpsz;
}

int StrCmpNIW(LPCWSTR psz1, LPCWSTR psz2, int nChar) {
    for (int i = 0; i < nChar; ++i) {
        const wchar_t a = FoldCase(psz1[i]);
        const wchar_t b = FoldCase(psz2[i]);
        if (a != b) {
            return a < b ? -1 : 1;
        }
        if (a == 0) {
            break;
        }
    }
    return 0;
}

HRESULT StringCchCopyA(LPSTR pszDest, size_t cchDest, LPCSTR pszSrc) {
    return Copy(pszDest, cchDest, pszSrc);
}

HRESULT StringCchCopyW(LPWSTR pszDest, size_t cchDest, LPCWSTR pszSrc) {
    return Copy(pszDest, cchDest, pszSrc);
}

HRESULT StringCchCatA(LPSTR pszDest, size_t cchDest, LPCSTR pszSrc) {
    return Cat(pszDest, cchDest, pszSrc);
}

HRESULT StringCchCatW(LPWSTR pszDest, size_t cchDest, LPCWSTR pszSrc) {
    return Cat(pszDest, cchDest, pszSrc);
}

HRESULT StringCchLengthA(LPCSTR psz, size_t cchMax, size_t *pcchLength) {
    return Length(psz, cchMax, pcchLength);
}

HRESULT StringCchLengthW(LPCWSTR psz, size_t cchMax, size_t *pcchLength) {
    return Length(psz, cchMax, pcchLength);
}

HRESULT StringCchVPrintfA(LPSTR pszDest, size_t cchDest, LPCSTR pszFormat, va_list argList) {
    if (!ValidCapacity(pszDest, cchDest)) {
        return STRSAFE_E_INVALID_PARAMETER;
    }
    if (pszFormat == nullptr) {
        pszDest[0] = 0;
        return STRSAFE_E_INVALID_PARAMETER;
    }
    const int n = vsnprintf(pszDest, cchDest, pszFormat, argList);
    if (n < 0) {
        pszDest[0] = 0;
        return STRSAFE_E_INSUFFICIENT_BUFFER;
    }
    if (static_cast<size_t>(n) >= cchDest) {
        pszDest[cchDest - 1] = 0;
        return STRSAFE_E_INSUFFICIENT_BUFFER;
    }
    return S_OK;
}

HRESULT StringCchPrintfA(LPSTR pszDest, size_t cchDest, LPCSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    HRESULT hr = StringCchVPrintfA(pszDest, cchDest, pszFormat, args);
    va_end(args);
    return hr;
}

HRESULT StringCchVPrintfW(LPWSTR pszDest, size_t cchDest, LPCWSTR pszFormat, va_list argList) {
    if (!ValidCapacity(pszDest, cchDest)) {
        return STRSAFE_E_INVALID_PARAMETER;
    }
    std::wstring format;
    if (pszFormat == nullptr) {
        pszDest[0] = 0;
        return STRSAFE_E_INVALID_PARAMETER;
    }
    if (!TranslateWideFormat(pszFormat, &format)) {
        pszDest[0] = 0;
        return STRSAFE_E_INSUFFICIENT_BUFFER;
    }
    va_list again;
    va_copy(again, argList);
    const int n = vswprintf(pszDest, cchDest, format.c_str(), argList);
    if (n >= 0) {
        va_end(again);
        return S_OK;
    }
    // vswprintf gives -1 both for a text too long and for a failed conversion; a memory stream
    // tells them apart and yields the text to cut.
    pszDest[0] = 0;
    wchar_t *whole = nullptr;
    size_t whole_length = 0;
    FILE *stream = open_wmemstream(&whole, &whole_length);
    int written = -1;
    if (stream != nullptr) {
        written = vfwprintf(stream, format.c_str(), again);
        fclose(stream);
    }
    va_end(again);
    if (written >= 0 && whole != nullptr) {
        const size_t keep = whole_length < cchDest - 1 ? whole_length : cchDest - 1;
        wmemcpy(pszDest, whole, keep);
        pszDest[keep] = 0;
    }
    free(whole);
    return STRSAFE_E_INSUFFICIENT_BUFFER;
}

HRESULT StringCchPrintfW(LPWSTR pszDest, size_t cchDest, LPCWSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    HRESULT hr = StringCchVPrintfW(pszDest, cchDest, pszFormat, args);
    va_end(args);
    return hr;
}

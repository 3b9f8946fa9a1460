// Code-page conversions, safe-string functions and case folding.
//
// Wide strings are wchar_t (UTF-32 on Linux): one code point per unit. The ANSI code page
// (CP_ACP, also CP_OEMCP, CP_THREAD_ACP and CP_UTF8) is UTF-8. A byte B that is not part of a
// valid UTF-8 sequence decodes to the lone surrogate U+DC00+B, and U+DC80..U+DCFF encode back to
// the byte, so every byte string survives narrow -> wide -> narrow unchanged. A unit that UTF-8
// cannot carry (another surrogate, or above U+10FFFF) encodes as the default character '?'
// (CP_UTF8: U+FFFD, as on Windows). Code page 1252 is also understood.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>
#include <string_view>

#include "platform/wintypes.h"

// Windows semantics: cchWideChar -1 reads through the terminator (and counts it); 0 in
// cbMultiByte asks for the size needed; a result that needs more than cbMultiByte bytes fails
// with 0 and ERROR_INSUFFICIENT_BUFFER (122) and the buffer's contents are undefined; bad
// arguments give ERROR_INVALID_PARAMETER (87), bad flags ERROR_INVALID_FLAGS (1004). With
// WC_ERR_INVALID_CHARS an unencodable unit fails with ERROR_NO_UNICODE_TRANSLATION (1113).
// WC_COMPOSITECHECK and WC_NO_BEST_FIT_CHARS are accepted; UTF-8 carries every sequence exactly,
// so nothing is recomposed (recomposing would rename files).
int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                        LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                        BOOL *lpUsedDefaultChar);

// Same conventions; MB_ERR_INVALID_CHARS makes an undecodable byte fail with 1113 instead of
// decoding to U+DC00+B.
int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                        LPWSTR lpWideCharStr, int cchWideChar);

// Lower-cases in place with towlower, unit by unit. Returns lpsz.
LPWSTR CharLowerW(LPWSTR lpsz);

// Compares at most nChar units, folding case with towlower: <0, 0 or >0.
int StrCmpNIW(LPCWSTR psz1, LPCWSTR psz2, int nChar);

// Safe-string family. cchDest is the buffer size in characters, terminator included; it must
// be 1..STRSAFE_MAX_CCH (else STRSAFE_E_INVALID_PARAMETER, and the buffer is emptied when there
// is one). The result is always terminated; a text that does not fit keeps its first cchDest-1
// characters and gives STRSAFE_E_INSUFFICIENT_BUFFER (0x8007007A); exactly cchDest-1 characters
// fit. A format that cannot be processed empties the buffer and gives
// STRSAFE_E_INSUFFICIENT_BUFFER too. A null source is copied as an empty string.
// Wide formats follow the Windows wide printf: %s and %c take wide arguments, %S / %hs / %hc
// narrow ones, %ls / %lc wide ones; %I64d, %I64u, %I64x and %Id, %Iu take 64-bit / pointer-size
// integers. In narrow formats, %S and %ls take wide strings (converted through the C locale, so
// convert non-ASCII text with WideCharToMultiByte first).
HRESULT StringCchCopyA(LPSTR pszDest, size_t cchDest, LPCSTR pszSrc);
HRESULT StringCchCopyW(LPWSTR pszDest, size_t cchDest, LPCWSTR pszSrc);
HRESULT StringCchCatA(LPSTR pszDest, size_t cchDest, LPCSTR pszSrc);
HRESULT StringCchCatW(LPWSTR pszDest, size_t cchDest, LPCWSTR pszSrc);
HRESULT StringCchPrintfA(LPSTR pszDest, size_t cchDest, LPCSTR pszFormat, ...)
    __attribute__((format(printf, 3, 4)));
HRESULT StringCchPrintfW(LPWSTR pszDest, size_t cchDest, LPCWSTR pszFormat, ...);
HRESULT StringCchVPrintfA(LPSTR pszDest, size_t cchDest, LPCSTR pszFormat, va_list argList)
    __attribute__((format(printf, 3, 0)));
HRESULT StringCchVPrintfW(LPWSTR pszDest, size_t cchDest, LPCWSTR pszFormat, va_list argList);
// Length without the terminator, which must come within cchMax characters (else
// STRSAFE_E_INVALID_PARAMETER). pcchLength may be null.
HRESULT StringCchLengthA(LPCSTR psz, size_t cchMax, size_t *pcchLength);
HRESULT StringCchLengthW(LPCWSTR psz, size_t cchMax, size_t *pcchLength);

namespace cab {

// Unit encoded as the ANSI code page's default character.
inline constexpr char kDefaultChar = '?';

// Narrow (ANSI code page) -> wide; never fails: undecodable bytes become U+DC00+B.
std::wstring AcpToWide(std::string_view text);

// Wide -> narrow; units UTF-8 cannot carry become '?'.
std::string WideToAcp(std::wstring_view text);

// Wide -> narrow for a name handed to the system: false (and ERROR_INVALID_NAME set) when a
// unit cannot be encoded, or the text holds a zero, so that a '?' never names another file.
bool WideToAcpExact(std::wstring_view text, std::string *out);

}  // namespace cab

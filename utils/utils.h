// Utilities: conversions between wide strings and the ANSI code page, heap duplicates, bounded
// wide formatting, environment expansion, folder creation with numbered fall-back names,
// trailing separators and wildcard matching. Failures are reported with DPF lines under each
// operation's own name.
#pragma once

#include <string>

#include "platform/wintypes.h"

// Converts pszSource (through its terminator) into pszDest of cchDest bytes, terminator
// included. Returns the bytes written, terminator included; 0 on failure (a null destination
// fails silently; a text that does not fit is reported and fails with
// ERROR_INSUFFICIENT_BUFFER as the last error, and the destination is then not to be used).
// Units the code page cannot carry become '?'.
int ConvertWSTRToPSTR(const wchar_t *pszSource, char *pszDest, int cchDest);

// Narrow (ANSI code page) -> wide. E_INVALIDARG for a null argument; on failure the
// destination is left empty.
HRESULT UtilConvertPSTRToWstring(const char *pszSource, std::wstring *pwstrDest);

// A heap copy (at least two characters) released only by UtilFreeDuplicateString; null when
// memory runs out. pwszSource must not be null.
wchar_t *UtilGetDuplicateString(const wchar_t *pwszSource);

// Releases *ppwsz and sets it to null; warns when the address or the pointer is null.
void UtilFreeDuplicateString(wchar_t **ppwsz);

// Formats into wstrDest through a 1024-character buffer (Windows wide printf: %s takes a wide
// string). S_OK, or STRSAFE_E_INSUFFICIENT_BUFFER with the first 1023 characters kept.
HRESULT UtilStringPrintfWstring(std::wstring &wstrDest, const wchar_t *pwszFormat, ...);

// Expands %NAME% references; the empty string on failure.
std::wstring UtilExpandEnvVariable(const wchar_t *pwszSource);

// Creates the folder *pwstrPath with all missing levels. The path is taken as it is: a caller
// expands environment references first, once, so that the folder made is the one it uses.
// When it cannot be created, tries the names with the suffixes 0..9, A..F, 10..12; on success
// the caller's path gains the suffix (before its trailing separator, if any). E_INVALIDARG for a
// null or empty path, E_FAIL when no name could be created (the path is then unchanged).
HRESULT UtilCreateDirectory(std::wstring *pwstrPath);

// Appends a '/' unless the path already ends in '/' or '\'. E_INVALIDARG (reported) for a null
// or empty path.
HRESULT UtilAppendPathSeparator(std::wstring *pwstrPath);

// Removes one trailing '/' or '\' (not from the root "/"); *pfHadSlash (optional) tells whether
// the path ended in a separator. E_INVALIDARG for a null path.
HRESULT UtilRemoveTrailingSlash(std::wstring *pwstrPath, int *pfHadSlash = nullptr);

// Whole-name wildcard match: '*' any run, '?' one character, '\' makes the next character
// ordinary. *pfMatch is 1 or 0, written only with S_OK. A non-zero fIgnoreCase folds both with
// CharLowerW. E_INVALIDARG for a null name or pattern, E_FAIL for a pattern ending in a lone
// backslash that is reached before the name is used up.
HRESULT UtilCompareWildCards(const wchar_t *pwszName, const wchar_t *pwszPattern, int fIgnoreCase,
                             int *pfMatch);
HRESULT UtilCompareWildCards(const char *pszName, const char *pszPattern, int fIgnoreCase,
                             int *pfMatch);

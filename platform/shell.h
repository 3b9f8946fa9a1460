// Folder, path and environment stand-ins (SHELL32, SHLWAPI, KERNEL32). Wide paths are handed to
// the system encoded in the ANSI code page (UTF-8, see platform/text.h); a path holding a
// unit that cannot be encoded fails with ERROR_INVALID_NAME instead of naming another file.
#pragma once

#include <cstdio>

#include "platform/wintypes.h"

// Replaces each %NAME% by the value of the environment variable NAME; an unset or empty-named
// reference stays as written, and a lone % is kept. Returns the number of characters of the
// expansion, terminator included; when that exceeds nSize (0 asks for the size) nothing is
// written and the size needed is returned. 0 on bad arguments (ERROR_INVALID_PARAMETER).
DWORD ExpandEnvironmentStringsW(LPCWSTR lpSrc, LPWSTR lpDst, DWORD nSize);

// Creates the folder with every missing level ('/' separates levels), mode 0777 less the
// umask. Returns ERROR_SUCCESS (0), ERROR_ALREADY_EXISTS (183) when a folder of that name is
// already there, ERROR_DIRECTORY (267) when something that is not a folder holds the name,
// ERROR_PATH_NOT_FOUND (3) when a level on the way is not a folder, ERROR_BAD_PATHNAME (161) for
// an empty path, or the error mapped from errno. The last error is set to the same code.
int SHCreateDirectory(HWND hwnd, LPCWSTR pszPath);

// FILE_ATTRIBUTE_DIRECTORY (0x10) when the path names a folder (links followed), else FALSE.
BOOL PathIsDirectoryW(LPCWSTR pszPath);

// Removes one trailing separator ('/' or '\') in place, except from a root path (a lone
// separator). Returns a pointer to the terminator when a separator was removed, else to the
// last character (the terminator of an empty string).
LPWSTR PathRemoveBackslashW(LPWSTR pszPath);

// Folder-listing stand-ins: FindFirstFileW, FindNextFileW, FindClose.
#pragma once

#include "platform/file_times.h"
#include "platform/files.h"
#include "platform/wintypes.h"

// dwFileAttributes as GetFileAttributesA gives them (platform/files.h).
typedef struct _WIN32_FIND_DATAW {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    WCHAR cFileName[MAX_PATH];
    WCHAR cAlternateFileName[14];  // always empty: there are no short names
} WIN32_FIND_DATAW, *PWIN32_FIND_DATAW, *LPWIN32_FIND_DATAW;

// The pattern is a folder, a separator and a file pattern ("dir/*.*"); "*" and "*.*" match every
// name, others match with '*' and '?'. Every name is listed, "." and ".." included, in the file
// system's order; links are followed, and entries that are neither regular files nor folders
// after that (FIFOs, sockets, devices) are left out. A link that leads nowhere (or round in a
// circle) is listed with FILE_ATTRIBUTE_REPARSE_POINT alone, as nothing can be read through it
// and a caller may want to say so. Failure:
// INVALID_HANDLE_VALUE with ERROR_PATH_NOT_FOUND (no such folder) or ERROR_FILE_NOT_FOUND.
HANDLE FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData);
// FALSE with ERROR_NO_MORE_FILES at the end.
BOOL FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData);
BOOL FindClose(HANDLE hFindFile);

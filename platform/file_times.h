// File-time stand-ins: FILETIME, its local and DOS forms, and setting a file's times.
#pragma once

#include "platform/wintypes.h"

// 100-ns intervals since 1601-01-01 UTC (or local time, after FileTimeToLocalFileTime).
typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;

// Local time is the process's time zone (localtime_r / mktime).
BOOL FileTimeToLocalFileTime(const FILETIME *lpFileTime, LPFILETIME lpLocalFileTime);
BOOL LocalFileTimeToFileTime(const FILETIME *lpLocalFileTime, LPFILETIME lpFileTime);
// DOS date: bits 15-9 year - 1980, 8-5 month, 4-0 day; DOS time: 15-11 hour, 10-5 minute,
// 4-0 seconds / 2. Years outside 1980..2107 and fields out of range fail (ERROR_INVALID_PARAMETER).
BOOL FileTimeToDosDateTime(const FILETIME *lpFileTime, WORD *lpFatDate, WORD *lpFatTime);
BOOL DosDateTimeToFileTime(WORD wFatDate, WORD wFatTime, LPFILETIME lpFileTime);

// Sets the modification time (lpLastWriteTime) and the access time when given, on a handle from
// CreateFileA (platform/files.h); creation time does not exist here and is ignored.
BOOL SetFileTime(HANDLE hFile, const FILETIME *lpCreationTime, const FILETIME *lpLastAccessTime,
                 const FILETIME *lpLastWriteTime);

namespace cab {

// SetFileTime for a descriptor from _open, so that a file just written needs no second open by
// name.
BOOL SetDescriptorTime(int fd, const FILETIME *lpLastAccessTime, const FILETIME *lpLastWriteTime);

}  // namespace cab

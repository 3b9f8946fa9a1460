// File and attribute stand-ins: handles for attribute and time access, file information,
// attributes, existence, deletion and the temporary folder.
//
// Narrow (A) paths are the file system's bytes: the ANSI code page is UTF-8 here, and a name
// that is not valid UTF-8 reaches these functions as its original bytes. Wide (W) paths are
// turned into bytes with the platform's lossless code-page conversion. Disk paths use '/';
// where a function looks for a separator it also accepts '\'. Every failing call sets the
// thread's last error (GetLastError).
#pragma once

#include "platform/file_times.h"
#include "platform/wintypes.h"

// dwVolumeSerialNumber and nFileIndexHigh/Low come from st_dev and st_ino, so two handles that
// name the same file or folder (through links too) compare equal on all three.
typedef struct _BY_HANDLE_FILE_INFORMATION {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD dwVolumeSerialNumber;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD nNumberOfLinks;
    DWORD nFileIndexHigh;
    DWORD nFileIndexLow;
} BY_HANDLE_FILE_INFORMATION, *PBY_HANDLE_FILE_INFORMATION, *LPBY_HANDLE_FILE_INFORMATION;

typedef void *LPSECURITY_ATTRIBUTES;

// Attributes as the POSIX mapping gives them: read-only = the owner may not write; hidden = the
// name begins with '.'; archive = every regular file; system is never reported.
#ifndef FILE_ATTRIBUTE_READONLY
#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_HIDDEN 0x00000002
#define FILE_ATTRIBUTE_SYSTEM 0x00000004
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_ATTRIBUTE_REPARSE_POINT 0x00000400
#endif
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_FLAG_SEQUENTIAL_SCAN 0x08000000
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000

// Opens a file (or, for reading, a folder) for attribute and time access. GENERIC_WRITE asks for
// write access; share modes, template and security attributes are ignored.
HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
BOOL GetFileInformationByHandle(HANDLE hFile, LPBY_HANDLE_FILE_INFORMATION lpFileInformation);
BOOL CloseHandle(HANDLE hObject);

// Follows links. INVALID_FILE_ATTRIBUTES on failure.
DWORD GetFileAttributesA(LPCSTR lpFileName);
// Only FILE_ATTRIBUTE_READONLY acts: set clears every write bit, clear gives the owner write.
BOOL SetFileAttributesA(LPCSTR lpFileName, DWORD dwFileAttributes);

BOOL PathFileExistsA(LPCSTR pszPath);
BOOL PathFileExistsW(LPCWSTR pszPath);
BOOL DeleteFileA(LPCSTR lpFileName);

// $TMPDIR (when set and not empty) or /tmp, ending with '/'. Returns the length written without
// the terminator, the size needed (terminator included) when the buffer is too small, 0 on error.
DWORD GetTempPathW(DWORD nBufferLength, LPWSTR lpBuffer);

namespace cab {

// _open that also describes the file it opened, as GetFileInformationByHandle does for a handle
// on the same path; info may be null. One open and at most one fstat.
int OpenWithInformation(const char *filename, int oflag, int pmode,
                        LPBY_HANDLE_FILE_INFORMATION info);
// SetFileAttributesA for a descriptor from _open, so that a file just written needs no second
// open by name.
BOOL SetDescriptorAttributes(int fd, DWORD dwFileAttributes);

}  // namespace cab

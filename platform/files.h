// File-system stand-ins for the Win32, shell and C-runtime calls of the manager, on POSIX.
//
// Narrow (A) paths are the file system's bytes: the ANSI code page is UTF-8 here, and a name
// that is not valid UTF-8 reaches these functions as its original bytes. Wide (W) paths are
// turned into bytes with the platform's lossless code-page conversion. Disk paths use '/';
// where a function looks for a separator it also accepts '\'. Every failing call sets the
// thread's last error (GetLastError); the C-runtime calls also set errno, as the C runtime does.
#pragma once

#include <cstdio>

#include "platform/wintypes.h"

// 100-ns intervals since 1601-01-01 UTC (or local time, after FileTimeToLocalFileTime).
typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;

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

// --- Folder enumeration -------------------------------------------------------------------------
// The pattern is a folder, a separator and a file pattern ("dir/*.*"); "*" and "*.*" match every
// name, others match with '*' and '?'. Every name is listed, "." and ".." included, in the file
// system's order; links are followed, and entries that are neither regular files nor folders
// after that (FIFOs, sockets, devices, dangling links) are left out. Failure:
// INVALID_HANDLE_VALUE with ERROR_PATH_NOT_FOUND (no such folder) or ERROR_FILE_NOT_FOUND.
HANDLE FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData);
// FALSE with ERROR_NO_MORE_FILES at the end.
BOOL FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData);
BOOL FindClose(HANDLE hFindFile);

// --- Handles, information, times, attributes ----------------------------------------------------
// Opens a file (or, for reading, a folder) for attribute and time access. GENERIC_WRITE asks for
// write access; share modes, template and security attributes are ignored.
HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
BOOL GetFileInformationByHandle(HANDLE hFile, LPBY_HANDLE_FILE_INFORMATION lpFileInformation);
// Sets the modification time (lpLastWriteTime) and the access time when given; creation time does
// not exist here and is ignored.
BOOL SetFileTime(HANDLE hFile, const FILETIME *lpCreationTime, const FILETIME *lpLastAccessTime,
                 const FILETIME *lpLastWriteTime);
BOOL CloseHandle(HANDLE hObject);

// Local time is the process's time zone (localtime_r / mktime).
BOOL FileTimeToLocalFileTime(const FILETIME *lpFileTime, LPFILETIME lpLocalFileTime);
BOOL LocalFileTimeToFileTime(const FILETIME *lpLocalFileTime, LPFILETIME lpFileTime);
// DOS date: bits 15-9 year - 1980, 8-5 month, 4-0 day; DOS time: 15-11 hour, 10-5 minute,
// 4-0 seconds / 2. Years outside 1980..2107 and fields out of range fail (ERROR_INVALID_PARAMETER).
BOOL FileTimeToDosDateTime(const FILETIME *lpFileTime, WORD *lpFatDate, WORD *lpFatTime);
BOOL DosDateTimeToFileTime(WORD wFatDate, WORD wFatTime, LPFILETIME lpFileTime);

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

// --- C-runtime low-level I/O --------------------------------------------------------------------
// oflag takes the _O_* values of platform/wintypes.h; with _O_CREAT a new file gets 0444, plus
// 0222 when pmode has _S_IWRITE, less the umask (all files are readable, as on Windows). There
// is no text mode: _O_TEXT and _O_BINARY both read bytes unchanged. A folder cannot be opened
// (EACCES). Results and errno as the C runtime gives them.
int _open(const char *filename, int oflag, int pmode = 0);
int _read(int fd, void *buffer, unsigned int count);
// Writes everything or fails (-1); a short count only when the disk fills up.
int _write(int fd, const void *buffer, unsigned int count);
int _close(int fd);
long _lseek(int fd, long offset, int origin);

// A name for a new temporary file: $TMPDIR, else dir when it is a folder, else /tmp, followed
// by '/', prefix and six random characters. The name did not exist when it was made; open it
// with _O_EXCL. A heap string released with free(), or null with errno set.
char *_tempnam(const char *dir, const char *prefix);

// Nonzero when the descriptor is a terminal.
int _isatty(int fd);
// The descriptor of a stream, -1 (EINVAL) for null.
int _fileno(FILE *stream);

namespace cab {

// _open that also describes the file it opened, as GetFileInformationByHandle does for a handle
// on the same path; info may be null. One open and at most one fstat.
int OpenWithInformation(const char *filename, int oflag, int pmode,
                        LPBY_HANDLE_FILE_INFORMATION info);
// SetFileTime and SetFileAttributesA for a descriptor from _open, so that a file just written
// needs no second open by name.
BOOL SetDescriptorTime(int fd, const FILETIME *lpLastAccessTime, const FILETIME *lpLastWriteTime);
BOOL SetDescriptorAttributes(int fd, DWORD dwFileAttributes);

// Opens a text file for reading line by line with fgetws: its UTF-8 is decoded and a CR LF pair
// reads as one line feed, as Windows text mode reads it. The file is read whole when opened; one
// that is not valid UTF-8 is refused (EILSEQ, ERROR_NO_UNICODE_TRANSLATION) so that no line is
// read wrong or silently dropped. Null with errno and the last error set on failure; release
// with fclose.
FILE *OpenWideTextReader(const char *path);

}  // namespace cab

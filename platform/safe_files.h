// Writing without surprises, on POSIX: folder levels opened one below the other without following
// links, files that reach their final name only when complete, and reads that refuse anything
// but a regular file instead of blocking on a FIFO or a device. Descriptors are POSIX ones; the
// calls that fail set the last error (and errno) as the C runtime stand-ins do.
#pragma once

#include <cstddef>

#include "platform/wintypes.h"

#define MOVEFILE_REPLACE_EXISTING 0x00000001

// Renames lpExistingFileName to lpNewFileName. With MOVEFILE_REPLACE_EXISTING a file of the new
// name is replaced in one step (never a moment without either); without it, an existing name
// fails with ERROR_ALREADY_EXISTS. Both names must lie on one file system.
BOOL MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags);

namespace cab {

// What a path names, links followed.
enum class PathKind { kMissing, kRegular, kFolder, kOther };
PathKind GetPathKind(const char *pszPath);

// _open for reading that refuses at once (EINVAL) what is not a regular file, so that a FIFO or
// a device never makes the caller wait.
int OpenRegularFile(const char *pszPath);

// A folder handle: a descriptor that only serves as the base of the calls below.
// Opens the folder pszPath; a link is followed, since the caller named it. -1 on failure.
int OpenFolderHandle(const char *pszPath);
// Opens the folder pszName (one level) inside hFolder, making it when missing; *pfMade (in and
// out) tells that it was made, and given TRUE, that hFolder was made by the caller just now, so
// that making comes first. A link is never followed: a name that is a link or not a folder fails
// with ENOTDIR (ERROR_PATH_NOT_FOUND).
int OpenFolderLevel(int hFolder, const char *pszName, BOOL *pfMade);
void CloseFolderHandle(int hFolder);
// TRUE when the two handles lead to one folder.
BOOL IsSameFolder(int hFolder, int hOtherFolder);
// TRUE when something (a link too, dangling or not) has the name pszName in hFolder.
BOOL NameExists(int hFolder, const char *pszName);

// A file being written in a folder that has no name there yet, or a temporary one, until it is
// complete. Its descriptor is the caller's to write and to close.
struct PendingFile {
    int fd = -1;
    char szTempName[24] = "";  // empty while the file has no name at all
};
// Creates the file (mode 0666 less the umask) in hFolder. FALSE on failure.
BOOL CreatePendingFile(int hFolder, PendingFile *pFile);
// SetFileAttributesA for a pending file: only read-only acts, and the mode it was created with is
// known, so no call asks for it again.
BOOL SetPendingFileAttributes(const PendingFile &file, DWORD dwFileAttributes);
// Gives the file the name pszName in hFolder, replacing in one step whatever had that name: a
// link is replaced itself, never written through, and another name of a hard-linked file keeps
// its content. A folder of that name is not replaced (ERROR_ACCESS_DENIED). Without fReplace,
// a name already there fails with ERROR_ALREADY_EXISTS and stays as it was.
BOOL CommitPendingFile(int hFolder, const char *pszName, PendingFile *pFile, BOOL fReplace);
// Removes the temporary name, if any; the content goes when the descriptor is closed.
void DiscardPendingFile(int hFolder, PendingFile *pFile);

// Creates a new file for writing under a temporary name in the folder of pszPath (the part up to
// its last '/'), to be moved over pszPath with MoveFileExA once complete. The name goes to
// pszTemp. pmode as for _open. -1 on failure.
int CreateFileBeside(const char *pszPath, int pmode, char *pszTemp, size_t cchTemp);

// Takes (waiting for it) the lock that runs naming files in the folder of pszPath hold while
// they do, so that the parts of two sets written there at once never mix. -1 when it cannot be
// taken; UnlockFolder releases it.
int LockFolderOf(const char *pszPath);
void UnlockFolder(int hLock);

}  // namespace cab

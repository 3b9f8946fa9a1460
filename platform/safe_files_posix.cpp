#include "platform/safe_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>

#include "platform/errors.h"

namespace {

constexpr char kTempPrefix[] = ".cabmgr-";

int FailWith(int err) {
    cab::SetLastErrorFromErrno(err);
    errno = err;
    return -1;
}

// Temporary names need to differ, not to be secret: O_EXCL settles the rare collision.
void MakeTempName(char *pszName, size_t cchName) {
    static std::atomic<uint64_t> s_state{0};
    uint64_t state = s_state.load(std::memory_order_relaxed);
    if (state == 0) {
        state = (uint64_t(std::random_device{}()) << 32) ^ uint64_t(getpid()) ^ 0x9E3779B97F4A7C15u;
        s_state.store(state, std::memory_order_relaxed);
    }
    uint64_t value = s_state.fetch_add(0x9E3779B97F4A7C15u, std::memory_order_relaxed);
    value ^= value >> 31;
    value *= 0xBF58476D1CE4E5B9u;
    value ^= value >> 29;
    snprintf(pszName, cchName, "%s%08x", kTempPrefix, static_cast<unsigned>(value));
}

// A new file of a fresh temporary name in hFolder (or below the current folder for AT_FDCWD,
// pszPrefix then holding the folder part); the name, prefix included, goes to pszName.
int CreateNamedTemp(int hFolder, const char *pszPrefix, mode_t mode, char *pszName,
                    size_t cchName) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        char szLeaf[24];
        MakeTempName(szLeaf, sizeof(szLeaf));
        if (snprintf(pszName, cchName, "%s%s", pszPrefix, szLeaf) >= static_cast<int>(cchName))
            return FailWith(ENAMETOOLONG);
        int fd = openat(hFolder, pszName, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0)
            return fd;
        if (errno != EEXIST)
            return FailWith(errno);
    }
    return FailWith(EEXIST);
}

// Unnamed files (O_TMPFILE) leave nothing behind even when the process is killed; they need the
// file system's support and /proc to be named. 0 not yet known, 1 usable, 2 not.
std::atomic<int> g_unnamedFiles{0};
// The mode new files get (0666 less the umask), learnt from the first one that needs it.
std::atomic<int> g_createdMode{-1};
// Whether an unnamed file may be named from its descriptor alone (CAP_DAC_READ_SEARCH), which
// spares the kernel a walk through /proc.
std::atomic<bool> g_linkFromDescriptor{true};

// Gives the unnamed file fd the name pszName in hFolder; 0, or -1 with errno.
int LinkUnnamed(int fd, int hFolder, const char *pszName) {
    if (g_linkFromDescriptor.load(std::memory_order_relaxed)) {
        if (linkat(fd, "", hFolder, pszName, AT_EMPTY_PATH) == 0)
            return 0;
        if (errno != ENOENT)
            return -1;
        g_linkFromDescriptor.store(false, std::memory_order_relaxed);
    }
    char szProc[32];
    snprintf(szProc, sizeof(szProc), "/proc/self/fd/%d", fd);
    return linkat(AT_FDCWD, szProc, hFolder, pszName, AT_SYMLINK_FOLLOW);
}

}  // namespace

BOOL MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags) {
    if (lpExistingFileName == nullptr || lpNewFileName == nullptr) {
        FailWith(EINVAL);
        return FALSE;
    }
    int result =
        (dwFlags & MOVEFILE_REPLACE_EXISTING)
            ? rename(lpExistingFileName, lpNewFileName)
            : renameat2(AT_FDCWD, lpExistingFileName, AT_FDCWD, lpNewFileName, RENAME_NOREPLACE);
    if (result != 0) {
        FailWith(errno);
        return FALSE;
    }
    return TRUE;
}

cab::PathKind cab::GetPathKind(const char *pszPath) {
    struct stat st;
    if (pszPath == nullptr || stat(pszPath, &st) != 0)
        return PathKind::kMissing;
    if (S_ISREG(st.st_mode))
        return PathKind::kRegular;
    return S_ISDIR(st.st_mode) ? PathKind::kFolder : PathKind::kOther;
}

int cab::OpenRegularFile(const char *pszPath) {
    if (pszPath == nullptr)
        return FailWith(EINVAL);
    // Non-blocking: opening a FIFO for reading would otherwise wait for a writer.
    int fd = open(pszPath, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return FailWith(errno);
    struct stat st;
    int err = fstat(fd, &st) != 0 ? errno : S_ISREG(st.st_mode) ? 0 : EINVAL;
    if (err != 0) {
        close(fd);
        return FailWith(err);
    }
    // Regular files ignore O_NONBLOCK; clearing it keeps the descriptor as _open gives it.
    fcntl(fd, F_SETFL, 0);
    return fd;
}

int cab::OpenFolderHandle(const char *pszPath) {
    if (pszPath == nullptr)
        return FailWith(EINVAL);
    int fd = open(pszPath, O_PATH | O_DIRECTORY | O_CLOEXEC);
    return fd >= 0 ? fd : FailWith(errno);
}

int cab::OpenFolderLevel(int hFolder, const char *pszName, BOOL *pfMade) {
    const int flags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    // In a folder just made, the level is missing: one call fewer when made first.
    bool fMadeFirst = *pfMade;
    *pfMade = FALSE;
    if (!fMadeFirst) {
        int fd = openat(hFolder, pszName, flags);
        if (fd >= 0 || errno != ENOENT)
            return fd >= 0 ? fd : FailWith(errno);
    }
    // Made by someone else meanwhile counts as there; mkdirat never follows a link either.
    if (mkdirat(hFolder, pszName, 0777) == 0)
        *pfMade = TRUE;
    else if (errno != EEXIST)
        return FailWith(errno);
    int fd = openat(hFolder, pszName, flags);
    return fd >= 0 ? fd : FailWith(errno);
}

void cab::CloseFolderHandle(int hFolder) {
    if (hFolder >= 0)
        close(hFolder);
}

BOOL cab::IsSameFolder(int hFolder, int hOtherFolder) {
    struct stat a, b;
    return fstat(hFolder, &a) == 0 && fstat(hOtherFolder, &b) == 0 && a.st_dev == b.st_dev &&
                   a.st_ino == b.st_ino
               ? TRUE
               : FALSE;
}

BOOL cab::NameExists(int hFolder, const char *pszName) {
    struct stat st;
    return fstatat(hFolder, pszName, &st, AT_SYMLINK_NOFOLLOW) == 0 ? TRUE : FALSE;
}

BOOL cab::CreatePendingFile(int hFolder, PendingFile *pFile) {
    pFile->fd = -1;
    pFile->szTempName[0] = '\0';
    int unnamed = g_unnamedFiles.load(std::memory_order_relaxed);
    if (unnamed == 0) {
        unnamed = access("/proc/self/fd", X_OK) == 0 ? 1 : 2;
        g_unnamedFiles.store(unnamed, std::memory_order_relaxed);
    }
    if (unnamed == 1) {
        pFile->fd = openat(hFolder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
        if (pFile->fd >= 0)
            return TRUE;
        // A file system without unnamed files: temporary names from now on.
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
            FailWith(errno);
            return FALSE;
        }
        g_unnamedFiles.store(2, std::memory_order_relaxed);
    }
    pFile->fd = CreateNamedTemp(hFolder, "", 0666, pFile->szTempName, sizeof(pFile->szTempName));
    if (pFile->fd < 0) {
        pFile->szTempName[0] = '\0';
        return FALSE;
    }
    return TRUE;
}

BOOL cab::SetPendingFileAttributes(const PendingFile &file, DWORD dwFileAttributes) {
    int created = g_createdMode.load(std::memory_order_relaxed);
    if (created < 0) {
        struct stat st;
        if (fstat(file.fd, &st) != 0) {
            FailWith(errno);
            return FALSE;
        }
        created = static_cast<int>(st.st_mode & 07777);
        g_createdMode.store(created, std::memory_order_relaxed);
    }
    mode_t mode = static_cast<mode_t>(created);
    mode_t want = (dwFileAttributes & 0x01 /* FILE_ATTRIBUTE_READONLY */)
                      ? mode & ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH)
                      : mode | S_IWUSR;
    if (want != mode && fchmod(file.fd, want) != 0) {
        FailWith(errno);
        return FALSE;
    }
    return TRUE;
}

BOOL cab::CommitPendingFile(int hFolder, const char *pszName, PendingFile *pFile, BOOL fReplace) {
    if (pFile->szTempName[0] == '\0') {
        if (LinkUnnamed(pFile->fd, hFolder, pszName) == 0)
            return TRUE;
        if (errno != EEXIST || !fReplace) {
            FailWith(errno);
            return FALSE;
        }
        // Something has the name: a temporary name first, then a rename over it in one step.
        for (int attempt = 0;; ++attempt) {
            MakeTempName(pFile->szTempName, sizeof(pFile->szTempName));
            if (LinkUnnamed(pFile->fd, hFolder, pFile->szTempName) == 0)
                break;
            int err = errno;
            pFile->szTempName[0] = '\0';
            if (err != EEXIST || attempt == 100) {
                FailWith(err);
                return FALSE;
            }
        }
    }
    if (renameat2(hFolder, pFile->szTempName, hFolder, pszName, fReplace ? 0 : RENAME_NOREPLACE) !=
        0) {
        int err = errno;
        DiscardPendingFile(hFolder, pFile);
        FailWith(err);
        return FALSE;
    }
    pFile->szTempName[0] = '\0';
    return TRUE;
}

void cab::DiscardPendingFile(int hFolder, PendingFile *pFile) {
    if (pFile->szTempName[0] != '\0') {
        unlinkat(hFolder, pFile->szTempName, 0);
        pFile->szTempName[0] = '\0';
    }
}

int cab::CreateFileBeside(const char *pszPath, int pmode, char *pszTemp, size_t cchTemp) {
    if (pszPath == nullptr || pszTemp == nullptr || cchTemp == 0)
        return FailWith(EINVAL);
    const char *pszSlash = strrchr(pszPath, '/');
    size_t cchFolder = pszSlash != nullptr ? static_cast<size_t>(pszSlash - pszPath) + 1 : 0;
    char szFolder[4096];
    if (cchFolder >= sizeof(szFolder))
        return FailWith(ENAMETOOLONG);
    memcpy(szFolder, pszPath, cchFolder);
    szFolder[cchFolder] = '\0';
    mode_t mode = 0444 | ((pmode & _S_IWRITE) ? 0222 : 0);
    // A file written over keeps its permissions, as one rewritten in place would: a private
    // cabinet does not become readable by all.
    struct stat st;
    bool fKeepMode = lstat(pszPath, &st) == 0 && S_ISREG(st.st_mode);
    int fd =
        CreateNamedTemp(AT_FDCWD, szFolder, fKeepMode ? st.st_mode & 0777 : mode, pszTemp, cchTemp);
    // The umask took bits the old file had; the file is at most as open as it was either way.
    if (fd >= 0 && fKeepMode)
        fchmod(fd, st.st_mode & 0777);
    return fd;
}

int cab::LockFolderOf(const char *pszPath) {
    if (pszPath == nullptr)
        return FailWith(EINVAL);
    const char *pszSlash = strrchr(pszPath, '/');
    char szFolder[4096] = ".";
    if (pszSlash != nullptr) {
        size_t cchFolder = static_cast<size_t>(pszSlash - pszPath) + 1;
        if (cchFolder >= sizeof(szFolder))
            return FailWith(ENAMETOOLONG);
        memcpy(szFolder, pszPath, cchFolder);
        szFolder[cchFolder] = '\0';
    }
    int hLock = open(szFolder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (hLock == -1)
        return FailWith(errno);
    while (flock(hLock, LOCK_EX) != 0) {
        if (errno != EINTR) {
            int err = errno;
            close(hLock);
            return FailWith(err);
        }
    }
    return hLock;
}

void cab::UnlockFolder(int hLock) {
    if (hLock != -1)
        close(hLock);
}

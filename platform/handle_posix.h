// The objects behind the HANDLEs the POSIX stand-ins give out; shared by *_posix.cpp only.
#pragma once

#include <dirent.h>

#include <cstdint>
#include <string>

#include "platform/wintypes.h"

namespace cab {

enum class HandleKind : uint32_t { kFile = 0x46494c45, kFind = 0x46494e44 };

// Every handle points at a HandleBase, so a handle of the wrong kind (or a stale one: closing
// clears the kind) is told apart before it is used.
struct HandleBase {
    explicit HandleBase(HandleKind k) : kind(k) {}
    HandleKind kind;
};

// CreateFileA (platform/files.h).
struct FileHandle : HandleBase {
    FileHandle() : HandleBase(HandleKind::kFile) {}
    int fd = -1;
    std::string path;
};

// FindFirstFileW (platform/folder_listing.h).
struct FindHandle : HandleBase {
    FindHandle() : HandleBase(HandleKind::kFind) {}
    DIR *dir = nullptr;
    std::string folder;   // ends with '/', or empty for the current folder
    std::string pattern;  // empty matches every name
};

inline HANDLE ToHandle(HandleBase *base) {
    return base;
}

// Null for a null, invalid or closed handle, or one of another kind.
template <typename T>
T *FromHandle(HANDLE h, HandleKind kind) {
    if (h == nullptr || h == INVALID_HANDLE_VALUE)
        return nullptr;
    auto *base = static_cast<HandleBase *>(h);
    return base->kind == kind ? static_cast<T *>(base) : nullptr;
}

inline FileHandle *AsFileHandle(HANDLE h) {
    return FromHandle<FileHandle>(h, HandleKind::kFile);
}

inline FindHandle *AsFindHandle(HANDLE h) {
    return FromHandle<FindHandle>(h, HandleKind::kFind);
}

}  // namespace cab

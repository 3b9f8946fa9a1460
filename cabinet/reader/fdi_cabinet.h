// One cabinet as the reader sees it: the header, folder and file tables, read and checked through
// a CabInput. Every offset and size taken from the file is checked before use; all memory comes
// from the caller's allocator.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cabinet/format/cab_format.h"
#include "cabinet/reader/fdi_io.h"

namespace cab {

// Bytes needed before ParseHeaderPrefix can decide: the fixed header and the reserve sizes.
inline constexpr size_t kHeaderPrefixSize =
    CabHeader::kEncodedLength + CabHeader::kReserveSizesLength;

// Checks and decodes the first `size` bytes of a cabinet (signature, version, sizes); the names
// are not read. Returns FDIERROR_NONE, NOT_A_CABINET, UNKNOWN_CABINET_VERSION or
// CORRUPT_CABINET.
FDIERROR ParseHeaderPrefix(const uint8_t *data, size_t size, CabHeader *header);

// A CFFILE as the reader keeps it: the record and where its name lies in the name pool.
struct FdiFile : CabFile {
    uint32_t name_offset;  // NUL-terminated, UTF-8
};

inline bool ContinuedFromPrev(uint16_t iFolder) {
    return iFolder == kFolderContinuedFromPrev || iFolder == kFolderContinuedPrevAndNext;
}

class FdiCabinet {
public:
    static constexpr size_t kNameBufferSize = kMaxCabinetNameLength + 1;

    explicit FdiCabinet(const FdiCallbacks *callbacks) : callbacks_(callbacks) {}

    // Reads the whole directory of the cabinet `in` is attached to (at offset 0) and sets the
    // input's limit to cbCabinet. On failure the object holds no usable cabinet.
    FDIERROR Read(CabInput *in);

    const CabHeader &header() const { return header_; }
    bool has_next() const { return header_.flags & kFlagNextCabinet; }
    // Names of the neighbours ("" when absent).
    const char *prev_cabinet() const { return prev_cabinet_; }
    const char *prev_disk() const { return prev_disk_; }
    const char *next_cabinet() const { return next_cabinet_; }
    const char *next_disk() const { return next_disk_; }

    // True when folder 0 only continues a folder begun in an earlier cabinet.
    bool first_folder_continued() const { return first_folder_continued_; }

    const CabFolder &folder(size_t i) const { return folders()[i]; }
    const FdiFile &file(size_t i) const { return files()[i]; }
    // The folder index a file's data lives in, its special iFolder values resolved.
    uint16_t RealFolder(const FdiFile &f) const;
    // The name as the caller sees it: UTF-8, converted from Windows-1252 if need be.
    char *name(const FdiFile &f) const {
        return reinterpret_cast<char *>(names_.data()) + f.name_offset;
    }

private:
    FDIERROR ReadHeader(CabInput *in);
    FDIERROR ReadFolders(CabInput *in);
    FDIERROR ReadFiles(CabInput *in);
    bool AppendName(const uint8_t *raw, size_t size, bool is_utf8, uint32_t *offset);
    const CabFolder *folders() const {
        return reinterpret_cast<const CabFolder *>(folders_.data());
    }
    const FdiFile *files() const { return reinterpret_cast<const FdiFile *>(files_.data()); }

    const FdiCallbacks *callbacks_;
    CabHeader header_;  // names are kept below
    char prev_cabinet_[kNameBufferSize] = {};
    char prev_disk_[kNameBufferSize] = {};
    char next_cabinet_[kNameBufferSize] = {};
    char next_disk_[kNameBufferSize] = {};
    CallerMemory folders_;
    CallerMemory files_;
    CallerMemory names_;
    size_t names_used_ = 0;
    bool first_folder_continued_ = false;
};

}  // namespace cab

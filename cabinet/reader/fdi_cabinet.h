// One cabinet as the reader sees it: the header, folder and file tables, read and checked through
// a CabInput. Every offset and size taken from the file is checked before use; all memory comes
// from the caller's allocator.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cabinet/format/cab_format.h"
#include "cabinet/reader/fdi_io.h"

namespace cab {

// The fixed fields of CFHEADER and the reserve sizes.
struct FdiHeader {
    uint32_t cbCabinet = 0;
    uint32_t coffFiles = 0;
    uint16_t cFolders = 0;
    uint16_t cFiles = 0;
    uint16_t flags = 0;
    uint16_t setID = 0;
    uint16_t iCabinet = 0;
    uint16_t cbCFHeader = 0;
    uint8_t cbCFFolder = 0;
    uint8_t cbCFData = 0;
};

// Bytes needed before ParseHeaderPrefix can decide: the fixed header and the reserve sizes.
inline constexpr size_t kHeaderPrefixSize = kHeaderFixedSize + kHeaderReserveFieldsSize;

// Checks and decodes the first `size` bytes of a cabinet (signature, version, sizes). Returns
// FDIERROR_NONE, NOT_A_CABINET, UNKNOWN_CABINET_VERSION or CORRUPT_CABINET.
FDIERROR ParseHeaderPrefix(const uint8_t *data, size_t size, FdiHeader *header);

struct FdiFolder {
    uint32_t coffCabStart;
    uint16_t cCFData;
    uint16_t typeCompress;
};

struct FdiFile {
    uint32_t cbFile;
    uint32_t uoffFolderStart;
    uint16_t iFolder;  // as stored, special values included
    uint16_t date;
    uint16_t time;
    uint16_t attribs;
    uint32_t name_offset;  // into the name pool, NUL-terminated, UTF-8
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

    const FdiHeader &header() const { return header_; }
    bool has_next() const { return header_.flags & kFlagNextCabinet; }
    // Names of the neighbours ("" when absent).
    const char *prev_cabinet() const { return prev_cabinet_; }
    const char *prev_disk() const { return prev_disk_; }
    const char *next_cabinet() const { return next_cabinet_; }
    const char *next_disk() const { return next_disk_; }

    // True when folder 0 only continues a folder begun in an earlier cabinet.
    bool first_folder_continued() const { return first_folder_continued_; }

    const FdiFolder &folder(size_t i) const { return folders()[i]; }
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
    const FdiFolder *folders() const {
        return reinterpret_cast<const FdiFolder *>(folders_.data());
    }
    const FdiFile *files() const { return reinterpret_cast<const FdiFile *>(files_.data()); }

    const FdiCallbacks *callbacks_;
    FdiHeader header_;
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

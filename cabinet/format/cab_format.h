// On-disk records of the cabinet format, shared by the writer and the reader (and nothing else).
//
// A cabinet is: CFHEADER [+ reserve sizes] [+ header reserve] [+ prev/next names], then cFolders
// CFFOLDER records (+ folder reserve each), then cFiles CFFILE records at coffFiles, then each
// folder's CFDATA blocks (+ data reserve each) from its coffCabStart. All values little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace cab {

inline constexpr uint8_t kSignature[4] = {'M', 'S', 'C', 'F'};
inline constexpr uint8_t kVersionMinor = 3;
inline constexpr uint8_t kVersionMajor = 1;

inline constexpr uint16_t kFlagPrevCabinet = 0x0001;
inline constexpr uint16_t kFlagNextCabinet = 0x0002;
inline constexpr uint16_t kFlagReservePresent = 0x0004;

inline constexpr uint16_t kFolderContinuedFromPrev = 0xFFFD;
inline constexpr uint16_t kFolderContinuedToNext = 0xFFFE;
inline constexpr uint16_t kFolderContinuedPrevAndNext = 0xFFFF;

inline constexpr uint32_t kMaxHeaderReserve = 60000;
inline constexpr uint32_t kMaxFolderReserve = 255;
inline constexpr uint32_t kMaxDataReserve = 255;
inline constexpr size_t kMaxCabinetNameLength = 255;  // prev/next cabinet and disk names, no NUL
inline constexpr size_t kMaxWrittenFileNameLength = 255;
inline constexpr size_t kMaxReadFileNameLength = 256;
inline constexpr uint32_t kMaxFileSize = 0x7FFF8000;
inline constexpr uint32_t kMaxFolderSize = 0x7FFF8000;
inline constexpr uint32_t kMaxCabinetSize = 0x7FFFFFFF;
inline constexpr uint32_t kMaxEntries = 0xFFFF;  // files or folders per cabinet

inline constexpr uint32_t kBlockSize =
    32768;  // uncompressed bytes per CFDATA, except a folder's last
inline constexpr uint32_t kMaxStoredBlock = 32768;
inline constexpr uint32_t kMaxMszipBlock = 32768 + 12;
inline constexpr uint32_t kMaxLzxBlock = 32768 + 6144;
inline constexpr uint32_t kMaxAnyBlock = 65535;  // cbData is a u2

// Little-endian field access; callers check bounds before calling.
inline uint16_t LoadLe16(const uint8_t *p) {
    return uint16_t(p[0] | (p[1] << 8));
}
inline uint32_t LoadLe32(const uint8_t *p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline void StoreLe16(uint8_t *p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void StoreLe32(uint8_t *p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

// Each record encodes and decodes its fixed part, kEncodedLength bytes, at the offsets named
// below. What follows a fixed part (reserve areas, names) is the caller's to bound and read.

// CFHEADER: the fixed part; with kFlagReservePresent the reserve sizes and the header reserve
// area; with kFlagPrevCabinet and kFlagNextCabinet the neighbours' cabinet and disk names.
struct CabHeader {
    static constexpr size_t kEncodedLength = 36;
    static constexpr size_t kReserveSizesLength = 4;  // cbCFHeader, cbCFFolder, cbCFData
    enum Offset : size_t {
        kSignatureAt = 0x00,  // also 0x04, 0x0C and 0x14: reserved, 0
        kCbCabinetAt = 0x08,
        kCoffFilesAt = 0x10,
        kVersionMinorAt = 0x18,
        kVersionMajorAt = 0x19,
        kCFoldersAt = 0x1A,
        kCFilesAt = 0x1C,
        kFlagsAt = 0x1E,
        kSetIdAt = 0x20,
        kICabinetAt = 0x22,
    };

    uint32_t cbCabinet = 0;
    uint32_t coffFiles = 0;
    uint8_t versionMinor = kVersionMinor;
    uint8_t versionMajor = kVersionMajor;
    uint16_t cFolders = 0;
    uint16_t cFiles = 0;
    uint16_t flags = 0;
    uint16_t setID = 0;
    uint16_t iCabinet = 0;
    uint16_t cbCFHeader = 0;  // present on disk only with kFlagReservePresent
    uint8_t cbCFFolder = 0;
    uint8_t cbCFData = 0;
    std::string szCabinetPrev, szDiskPrev;  // only with kFlagPrevCabinet
    std::string szCabinetNext, szDiskNext;  // only with kFlagNextCabinet

    bool has_reserve() const { return flags & kFlagReservePresent; }
    // Bytes before the names: the fixed part, and the reserve sizes and area when present.
    size_t NamesOffset() const;
    // Bytes the header occupies on disk, reserve area and names included.
    size_t EncodedSize() const;
    // Writes EncodedSize() bytes; the header reserve area is zero-filled.
    void Encode(uint8_t *out) const;
    // Reads the fixed part (the signature is not checked; the names stay empty).
    static CabHeader Decode(const uint8_t *in);
    // Reads the kReserveSizesLength bytes that follow the fixed part.
    void DecodeReserveSizes(const uint8_t *in);
};

// CFFOLDER: the fixed part, then cbCFFolder reserved bytes.
struct CabFolder {
    static constexpr size_t kEncodedLength = 8;
    enum Offset : size_t { kCoffCabStartAt = 0, kCCFDataAt = 4, kTypeCompressAt = 6 };

    uint32_t coffCabStart = 0;
    uint16_t cCFData = 0;
    uint16_t typeCompress = 0;

    void Encode(uint8_t *out) const;
    static CabFolder Decode(const uint8_t *in);
};

// CFFILE: the fixed part, then the name and its NUL.
struct CabFile {
    static constexpr size_t kEncodedLength = 16;
    enum Offset : size_t {
        kCbFileAt = 0,
        kUoffFolderStartAt = 4,
        kIFolderAt = 8,
        kDateAt = 10,
        kTimeAt = 12,
        kAttribsAt = 14,
    };

    uint32_t cbFile = 0;
    uint32_t uoffFolderStart = 0;
    uint16_t iFolder = 0;
    uint16_t date = 0;
    uint16_t time = 0;
    uint16_t attribs = 0;

    void Encode(uint8_t *out) const;
    static CabFile Decode(const uint8_t *in);
    // The whole record: the fixed part, then `name` and its NUL.
    static size_t EncodedSize(const std::string &name) { return kEncodedLength + name.size() + 1; }
    void Encode(const std::string &name, uint8_t *out) const;
};

// CFDATA: the fixed part, then cbCFData reserved bytes, then cbData bytes of data.
struct CabData {
    static constexpr size_t kEncodedLength = 8;
    enum Offset : size_t { kCsumAt = 0, kCbDataAt = 4, kCbUncompAt = 6 };

    uint32_t csum = 0;
    uint16_t cbData = 0;
    uint16_t cbUncomp = 0;

    void Encode(uint8_t *out) const;
    static CabData Decode(const uint8_t *in);
};

// The format's XOR checksum of `size` bytes, folded into `initial`.
uint32_t Checksum(const uint8_t *data, size_t size, uint32_t initial);

// The CFDATA csum of a block (or block part) whose stored bytes are `data`.
uint32_t DataBlockChecksum(const uint8_t *data, uint16_t cb_data, uint16_t cb_uncomp);

// MS-DOS date and time packing (local broken-down time fields).
inline uint16_t PackDosDate(int year, int month, int day) {
    return uint16_t(((year - 1980) << 9) | (month << 5) | day);
}
inline uint16_t PackDosTime(int hour, int minute, int second) {
    return uint16_t((hour << 11) | (minute << 5) | (second / 2));
}

}  // namespace cab

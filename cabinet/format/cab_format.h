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

inline constexpr size_t kHeaderFixedSize = 36;  // without the optional reserve-size fields
inline constexpr size_t kHeaderReserveFieldsSize = 4;
inline constexpr size_t kFolderFixedSize = 8;  // without the folder reserve
inline constexpr size_t kFileFixedSize = 16;   // without the name
inline constexpr size_t kDataFixedSize = 8;    // without the data reserve

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

// The fixed part of CFHEADER plus the optional fields that follow it.
struct CabHeader {
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

    // Bytes the header occupies on disk, reserve area and names included.
    size_t EncodedSize() const;
    // Writes EncodedSize() bytes; the header reserve area is zero-filled.
    void Encode(uint8_t *out) const;
};

struct CabFolder {
    uint32_t coffCabStart = 0;
    uint16_t cCFData = 0;
    uint16_t typeCompress = 0;

    // Writes kFolderFixedSize bytes (the reserve area, if any, is the caller's).
    void Encode(uint8_t *out) const;
    static CabFolder Decode(const uint8_t *in);
};

struct CabFile {
    uint32_t cbFile = 0;
    uint32_t uoffFolderStart = 0;
    uint16_t iFolder = 0;
    uint16_t date = 0;
    uint16_t time = 0;
    uint16_t attribs = 0;
    std::string szName;

    size_t EncodedSize() const { return kFileFixedSize + szName.size() + 1; }
    void Encode(uint8_t *out) const;
    // Decodes the fixed part only; the name is the caller's to bound and read.
    static CabFile DecodeFixed(const uint8_t *in);
};

struct CabData {
    uint32_t csum = 0;
    uint16_t cbData = 0;
    uint16_t cbUncomp = 0;

    void Encode(uint8_t *out) const;  // kDataFixedSize bytes
    static CabData Decode(const uint8_t *in);
};

// The format's XOR checksum of `size` bytes, starting from `seed_value`.
uint32_t Checksum(const uint8_t *data, size_t size, uint32_t seed_value);

// The CFDATA csum of a block (or block part) whose stored bytes are `data`.
uint32_t DataBlockChecksum(const uint8_t *data, uint16_t cb_data, uint16_t cb_uncomp);

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF. A name written with
// _A_NAME_IS_UTF must pass it.
bool IsValidUtf8(const uint8_t *s, size_t size);

// MS-DOS date and time packing (local broken-down time fields).
inline uint16_t PackDosDate(int year, int month, int day) {
    return uint16_t(((year - 1980) << 9) | (month << 5) | day);
}
inline uint16_t PackDosTime(int hour, int minute, int second) {
    return uint16_t((hour << 11) | (minute << 5) | (second / 2));
}

}  // namespace cab

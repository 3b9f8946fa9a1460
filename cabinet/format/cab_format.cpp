#include "cabinet/format/cab_format.h"

#include <bit>
#include <cassert>
#include <cstring>

namespace cab {

static_assert(std::endian::native == std::endian::little, "Checksum folds host-order words");

size_t CabHeader::EncodedSize() const {
    size_t size = kHeaderFixedSize;
    if (flags & kFlagReservePresent) {
        size += kHeaderReserveFieldsSize + cbCFHeader;
    }
    if (flags & kFlagPrevCabinet) {
        size += szCabinetPrev.size() + 1 + szDiskPrev.size() + 1;
    }
    if (flags & kFlagNextCabinet) {
        size += szCabinetNext.size() + 1 + szDiskNext.size() + 1;
    }
    return size;
}

static uint8_t *PutString(uint8_t *out, const std::string &s) {
    assert(s.size() <= kMaxCabinetNameLength);
    memcpy(out, s.c_str(), s.size() + 1);
    return out + s.size() + 1;
}

void CabHeader::Encode(uint8_t *out) const {
    memcpy(out, kSignature, 4);
    StoreLe32(out + 0x04, 0);
    StoreLe32(out + 0x08, cbCabinet);
    StoreLe32(out + 0x0C, 0);
    StoreLe32(out + 0x10, coffFiles);
    StoreLe32(out + 0x14, 0);
    out[0x18] = versionMinor;
    out[0x19] = versionMajor;
    StoreLe16(out + 0x1A, cFolders);
    StoreLe16(out + 0x1C, cFiles);
    StoreLe16(out + 0x1E, flags);
    StoreLe16(out + 0x20, setID);
    StoreLe16(out + 0x22, iCabinet);
    uint8_t *p = out + kHeaderFixedSize;
    if (flags & kFlagReservePresent) {
        StoreLe16(p, cbCFHeader);
        p[2] = cbCFFolder;
        p[3] = cbCFData;
        p += kHeaderReserveFieldsSize;
        memset(p, 0, cbCFHeader);
        p += cbCFHeader;
    }
    if (flags & kFlagPrevCabinet) {
        p = PutString(p, szCabinetPrev);
        p = PutString(p, szDiskPrev);
    }
    if (flags & kFlagNextCabinet) {
        p = PutString(p, szCabinetNext);
        p = PutString(p, szDiskNext);
    }
    assert(size_t(p - out) == EncodedSize());
}

void CabFolder::Encode(uint8_t *out) const {
    StoreLe32(out, coffCabStart);
    StoreLe16(out + 4, cCFData);
    StoreLe16(out + 6, typeCompress);
}

CabFolder CabFolder::Decode(const uint8_t *in) {
    CabFolder f;
    f.coffCabStart = LoadLe32(in);
    f.cCFData = LoadLe16(in + 4);
    f.typeCompress = LoadLe16(in + 6);
    return f;
}

void CabFile::Encode(uint8_t *out) const {
    StoreLe32(out, cbFile);
    StoreLe32(out + 4, uoffFolderStart);
    StoreLe16(out + 8, iFolder);
    StoreLe16(out + 10, date);
    StoreLe16(out + 12, time);
    StoreLe16(out + 14, attribs);
    memcpy(out + kFileFixedSize, szName.c_str(), szName.size() + 1);
}

CabFile CabFile::DecodeFixed(const uint8_t *in) {
    CabFile f;
    f.cbFile = LoadLe32(in);
    f.uoffFolderStart = LoadLe32(in + 4);
    f.iFolder = LoadLe16(in + 8);
    f.date = LoadLe16(in + 10);
    f.time = LoadLe16(in + 12);
    f.attribs = LoadLe16(in + 14);
    return f;
}

void CabData::Encode(uint8_t *out) const {
    StoreLe32(out, csum);
    StoreLe16(out + 4, cbData);
    StoreLe16(out + 6, cbUncomp);
}

CabData CabData::Decode(const uint8_t *in) {
    CabData d;
    d.csum = LoadLe32(in);
    d.cbData = LoadLe16(in + 4);
    d.cbUncomp = LoadLe16(in + 6);
    return d;
}

uint32_t Checksum(const uint8_t *data, size_t size, uint32_t seed_value) {
    uint32_t acc = seed_value;
    size_t words = size / 4;
    // Eight bytes at a time: XOR is associative, so fold two words and split at the end.
    uint64_t wide = 0;
    size_t i = 0;
    for (; i + 2 <= words; i += 2) {
        uint64_t v;
        memcpy(&v, data + i * 4, 8);
        wide ^= v;
    }
    acc ^= uint32_t(wide) ^ uint32_t(wide >> 32);
    for (; i < words; ++i) {
        acc ^= LoadLe32(data + i * 4);
    }
    const uint8_t *tail = data + words * 4;
    uint32_t w = 0;
    switch (size % 4) {
        case 3:
            w = (uint32_t(tail[0]) << 16) | (uint32_t(tail[1]) << 8) | tail[2];
            break;
        case 2:
            w = (uint32_t(tail[0]) << 8) | tail[1];
            break;
        case 1:
            w = tail[0];
            break;
        default:
            break;
    }
    return acc ^ w;
}

uint32_t DataBlockChecksum(const uint8_t *data, uint16_t cb_data, uint16_t cb_uncomp) {
    uint32_t partial = Checksum(data, cb_data, 0);
    return partial ^ (uint32_t(cb_data) | (uint32_t(cb_uncomp) << 16));
}

bool IsValidUtf8(const uint8_t *s, size_t size) {
    size_t i = 0;
    while (i < size) {
        uint8_t b = s[i];
        if (b < 0x80) {
            ++i;
            continue;
        }
        size_t extra;
        uint32_t cp, min;
        if ((b & 0xE0) == 0xC0) {
            extra = 1, cp = b & 0x1F, min = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            extra = 2, cp = b & 0x0F, min = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            extra = 3, cp = b & 0x07, min = 0x10000;
        } else {
            return false;
        }
        if (size - i <= extra) {
            return false;
        }
        for (size_t k = 1; k <= extra; ++k) {
            uint8_t c = s[i + k];
            if ((c & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (c & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += extra + 1;
    }
    return true;
}

}  // namespace cab

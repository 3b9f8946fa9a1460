#include "cabinet/format/cab_format.h"

#include <bit>
#include <cassert>
#include <cstring>

namespace cab {

static_assert(std::endian::native == std::endian::little, "Checksum folds host-order words");

size_t CabHeader::NamesOffset() const {
    return kEncodedLength + (has_reserve() ? kReserveSizesLength + cbCFHeader : 0);
}

size_t CabHeader::EncodedSize() const {
    size_t size = NamesOffset();
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
    memset(out, 0, kEncodedLength);
    memcpy(out + kSignatureAt, kSignature, sizeof kSignature);
    StoreLe32(out + kCbCabinetAt, cbCabinet);
    StoreLe32(out + kCoffFilesAt, coffFiles);
    out[kVersionMinorAt] = versionMinor;
    out[kVersionMajorAt] = versionMajor;
    StoreLe16(out + kCFoldersAt, cFolders);
    StoreLe16(out + kCFilesAt, cFiles);
    StoreLe16(out + kFlagsAt, flags);
    StoreLe16(out + kSetIdAt, setID);
    StoreLe16(out + kICabinetAt, iCabinet);
    uint8_t *p = out + kEncodedLength;
    if (has_reserve()) {
        StoreLe16(p, cbCFHeader);
        p[2] = cbCFFolder;
        p[3] = cbCFData;
        p += kReserveSizesLength;
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

CabHeader CabHeader::Decode(const uint8_t *in) {
    CabHeader h;
    h.cbCabinet = LoadLe32(in + kCbCabinetAt);
    h.coffFiles = LoadLe32(in + kCoffFilesAt);
    h.versionMinor = in[kVersionMinorAt];
    h.versionMajor = in[kVersionMajorAt];
    h.cFolders = LoadLe16(in + kCFoldersAt);
    h.cFiles = LoadLe16(in + kCFilesAt);
    h.flags = LoadLe16(in + kFlagsAt);
    h.setID = LoadLe16(in + kSetIdAt);
    h.iCabinet = LoadLe16(in + kICabinetAt);
    return h;
}

void CabHeader::DecodeReserveSizes(const uint8_t *in) {
    cbCFHeader = LoadLe16(in);
    cbCFFolder = in[2];
    cbCFData = in[3];
}

void CabFolder::Encode(uint8_t *out) const {
    StoreLe32(out + kCoffCabStartAt, coffCabStart);
    StoreLe16(out + kCCFDataAt, cCFData);
    StoreLe16(out + kTypeCompressAt, typeCompress);
}

CabFolder CabFolder::Decode(const uint8_t *in) {
    CabFolder f;
    f.coffCabStart = LoadLe32(in + kCoffCabStartAt);
    f.cCFData = LoadLe16(in + kCCFDataAt);
    f.typeCompress = LoadLe16(in + kTypeCompressAt);
    return f;
}

void CabFile::Encode(uint8_t *out) const {
    StoreLe32(out + kCbFileAt, cbFile);
    StoreLe32(out + kUoffFolderStartAt, uoffFolderStart);
    StoreLe16(out + kIFolderAt, iFolder);
    StoreLe16(out + kDateAt, date);
    StoreLe16(out + kTimeAt, time);
    StoreLe16(out + kAttribsAt, attribs);
}

void CabFile::Encode(const std::string &name, uint8_t *out) const {
    Encode(out);
    memcpy(out + kEncodedLength, name.c_str(), name.size() + 1);
}

CabFile CabFile::Decode(const uint8_t *in) {
    CabFile f;
    f.cbFile = LoadLe32(in + kCbFileAt);
    f.uoffFolderStart = LoadLe32(in + kUoffFolderStartAt);
    f.iFolder = LoadLe16(in + kIFolderAt);
    f.date = LoadLe16(in + kDateAt);
    f.time = LoadLe16(in + kTimeAt);
    f.attribs = LoadLe16(in + kAttribsAt);
    return f;
}

void CabData::Encode(uint8_t *out) const {
    StoreLe32(out + kCsumAt, csum);
    StoreLe16(out + kCbDataAt, cbData);
    StoreLe16(out + kCbUncompAt, cbUncomp);
}

CabData CabData::Decode(const uint8_t *in) {
    CabData d;
    d.csum = LoadLe32(in + kCsumAt);
    d.cbData = LoadLe16(in + kCbDataAt);
    d.cbUncomp = LoadLe16(in + kCbUncompAt);
    return d;
}

uint32_t Checksum(const uint8_t *data, size_t size, uint32_t initial) {
    uint32_t acc = initial;
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

}  // namespace cab

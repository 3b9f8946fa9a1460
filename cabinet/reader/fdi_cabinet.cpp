#include "cabinet/reader/fdi_cabinet.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "cabinet/reader/fdi_check.h"
#include "platform/codepage.h"
#include "platform/crt.h"

namespace cab {

FDIERROR ParseHeaderPrefix(const uint8_t *data, size_t size, CabHeader *header) {
    FDI_CHECK(size >= sizeof(kSignature) && memcmp(data, kSignature, sizeof(kSignature)) == 0,
              FDIERROR_NOT_A_CABINET);
    FDI_CHECK(size >= CabHeader::kEncodedLength, FDIERROR_CORRUPT_CABINET);
    CabHeader h = CabHeader::Decode(data);
    FDI_CHECK(h.versionMinor == kVersionMinor && h.versionMajor == kVersionMajor,
              FDIERROR_UNKNOWN_CABINET_VERSION);
    if (h.has_reserve()) {
        FDI_CHECK(size >= kHeaderPrefixSize, FDIERROR_CORRUPT_CABINET);
        h.DecodeReserveSizes(data + CabHeader::kEncodedLength);
        FDI_CHECK(h.cbCFHeader <= kMaxHeaderReserve, FDIERROR_CORRUPT_CABINET);
    }
    const size_t fixed = h.has_reserve() ? kHeaderPrefixSize : CabHeader::kEncodedLength;
    FDI_CHECK(h.cbCabinet >= fixed && h.cbCabinet <= kMaxCabinetSize, FDIERROR_CORRUPT_CABINET);
    // Files need a folder to live in, and a folder no file uses is damage too; a cabinet with
    // neither is empty, not corrupt.
    FDI_CHECK((h.cFolders == 0) == (h.cFiles == 0), FDIERROR_CORRUPT_CABINET);
    *header = std::move(h);
    return FDIERROR_NONE;
}

uint16_t FdiCabinet::RealFolder(const FdiFile &f) const {
    switch (f.iFolder) {
        case kFolderContinuedFromPrev:
        case kFolderContinuedPrevAndNext:
            return 0;
        case kFolderContinuedToNext:
            return uint16_t(header_.cFolders - 1);
        default:
            return f.iFolder;
    }
}

FDIERROR FdiCabinet::Read(CabInput *in) {
    names_used_ = 0;
    FDIERROR err = ReadHeader(in);
    if (err == FDIERROR_NONE) {
        err = ReadFolders(in);
    }
    if (err == FDIERROR_NONE) {
        err = ReadFiles(in);
    }
    return err;
}

// Reads a NUL-terminated name of at most kMaxCabinetNameLength bytes into `out`.
static bool ReadCabinetName(CabInput *in, char *out) {
    const uint8_t *p;
    size_t have = in->Fill(kMaxCabinetNameLength + 1, &p);
    const void *nul = memchr(p, 0, have);
    if (!nul) {
        return false;
    }
    size_t len = size_t(static_cast<const uint8_t *>(nul) - p);
    memcpy(out, p, len + 1);
    in->Consume(len + 1);
    return true;
}

FDIERROR FdiCabinet::ReadHeader(CabInput *in) {
    const uint8_t *p;
    size_t have = in->Fill(kHeaderPrefixSize, &p);
    FDI_CHECK(!in->read_failed(), FDIERROR_CORRUPT_CABINET);
    FDIERROR err = ParseHeaderPrefix(p, have, &header_);
    if (err != FDIERROR_NONE) {
        return err;
    }
    in->SetLimit(header_.cbCabinet);
    FDI_CHECK(in->Seek(uint32_t(header_.NamesOffset())), FDIERROR_CORRUPT_CABINET);
    prev_cabinet_[0] = prev_disk_[0] = next_cabinet_[0] = next_disk_[0] = '\0';
    if (header_.flags & kFlagPrevCabinet) {
        FDI_CHECK(ReadCabinetName(in, prev_cabinet_) && ReadCabinetName(in, prev_disk_),
                  FDIERROR_CORRUPT_CABINET);
    }
    if (header_.flags & kFlagNextCabinet) {
        FDI_CHECK(ReadCabinetName(in, next_cabinet_) && ReadCabinetName(in, next_disk_),
                  FDIERROR_CORRUPT_CABINET);
    }
    return FDIERROR_NONE;
}

FDIERROR FdiCabinet::ReadFolders(CabInput *in) {
    folders_.Release();
    if (header_.cFolders == 0) {
        return FDIERROR_NONE;
    }
    FDI_CHECK(folders_.Allocate(callbacks_->allocator(), header_.cFolders * sizeof(CabFolder)),
              FDIERROR_ALLOC_FAIL);
    auto *table = reinterpret_cast<CabFolder *>(folders_.data());
    for (size_t i = 0; i < header_.cFolders; ++i) {
        const uint8_t *p = in->Peek(CabFolder::kEncodedLength);
        FDI_CHECK(p, FDIERROR_CORRUPT_CABINET);
        CabFolder f = CabFolder::Decode(p);
        FDI_CHECK(
            in->Seek(in->Position() + uint32_t(CabFolder::kEncodedLength) + header_.cbCFFolder),
            FDIERROR_CORRUPT_CABINET);
        // The first data block must at least start inside the cabinet.
        FDI_CHECK(f.cCFData == 0 ||
                      uint64_t(f.coffCabStart) + CabData::kEncodedLength <= header_.cbCabinet,
                  FDIERROR_CORRUPT_CABINET);
        new (&table[i]) CabFolder(f);
    }
    return FDIERROR_NONE;
}

bool FdiCabinet::AppendName(const uint8_t *raw, size_t size, bool is_utf8, uint32_t *offset) {
    bool convert = !is_utf8 && !IsValidUtf8(raw, size);
    size_t need = (convert ? Cp1252Utf8Size(raw, size) : size) + 1;
    if (names_used_ + need > names_.size()) {
        size_t capacity = names_.size() ? names_.size() * 2 : 4096;
        while (capacity < names_used_ + need) {
            capacity *= 2;
        }
        CallerMemory bigger;
        if (!bigger.Allocate(callbacks_->allocator(), capacity)) {
            return false;
        }
        if (names_used_) {
            memcpy(bigger.data(), names_.data(), names_used_);
        }
        names_.Swap(bigger);
    }
    uint8_t *out = names_.data() + names_used_;
    if (convert) {
        Cp1252ToUtf8(raw, size, out);
    } else {
        memcpy(out, raw, size);
    }
    out[need - 1] = 0;
    *offset = uint32_t(names_used_);
    names_used_ += need;
    return true;
}

// Bytes a name takes on average in large cabinets, and more.
constexpr size_t kTypicalNameRoom = 64;

FDIERROR FdiCabinet::ReadFiles(CabInput *in) {
    files_.Release();
    first_folder_continued_ = false;
    if (header_.cFiles == 0) {
        return FDIERROR_NONE;
    }
    FDI_CHECK(in->Seek(header_.coffFiles), FDIERROR_CORRUPT_CABINET);
    FDI_CHECK(files_.Allocate(callbacks_->allocator(), header_.cFiles * sizeof(FdiFile)),
              FDIERROR_ALLOC_FAIL);
    auto *table = reinterpret_cast<FdiFile *>(files_.data());
    // The names take what the table leaves between its entries, up to where the data begins:
    // room for them at once (up to a typical length each), since growing copies them again and
    // touches fresh pages each time.
    uint32_t data_at = folder(0).coffCabStart;
    for (size_t i = 1; i < header_.cFolders; ++i) {
        data_at = std::min(data_at, folder(i).coffCabStart);
    }
    size_t entries = size_t(header_.cFiles) * CabFile::kEncodedLength;
    size_t room = data_at > header_.coffFiles ? data_at - header_.coffFiles : 0;
    room = std::min(room, size_t(header_.cFiles) * kTypicalNameRoom + entries);
    if (room > entries && room - entries > names_.size()) {
        CallerMemory bigger;
        if (bigger.Allocate(callbacks_->allocator(), room - entries)) {
            AdviseLargePages(bigger.data(), bigger.size());
            names_.Swap(bigger);
        }
    }
    for (size_t i = 0; i < header_.cFiles; ++i) {
        const uint8_t *p = in->Peek(CabFile::kEncodedLength);
        FDI_CHECK(p, FDIERROR_CORRUPT_CABINET);
        FdiFile f{CabFile::Decode(p), 0};
        in->Consume(CabFile::kEncodedLength);
        bool special = f.iFolder >= kFolderContinuedFromPrev;
        FDI_CHECK(special || f.iFolder < header_.cFolders, FDIERROR_CORRUPT_CABINET);
        first_folder_continued_ |= ContinuedFromPrev(f.iFolder);
        FDI_CHECK(uint64_t(f.uoffFolderStart) + f.cbFile <= kMaxFolderSize,
                  FDIERROR_CORRUPT_CABINET);
        size_t have = in->Fill(kMaxReadFileNameLength + 1, &p);
        const void *nul = memchr(p, 0, have);
        FDI_CHECK(nul, FDIERROR_CORRUPT_CABINET);
        size_t len = size_t(static_cast<const uint8_t *>(nul) - p);
        FDI_CHECK(len > 0, FDIERROR_CORRUPT_CABINET);  // nothing could be named by it
        FDI_CHECK(AppendName(p, len, f.attribs & _A_NAME_IS_UTF, &f.name_offset),
                  FDIERROR_ALLOC_FAIL);
        in->Consume(len + 1);
        new (&table[i]) FdiFile(f);
    }
    return FDIERROR_NONE;
}

}  // namespace cab

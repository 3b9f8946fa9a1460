#include "cabinet/writer/fci_folder.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "cabinet/codec/mszip_encoder.h"
#include "cabinet/writer/fci_undo.h"

namespace cab {

namespace {

// The type a CFFOLDER records: an MSZIP level only tells the writer how hard to try.
uint16_t RecordedType(TCOMP type) {
    return CompressionTypeFromTCOMP(type) == tcompTYPE_MSZIP ? tcompTYPE_MSZIP : type;
}

}  // namespace

bool FolderBuilder::Init() {
    const CallerAllocator allocator = ctx_.allocator();
    const size_t payload = std::max<size_t>(kMszipMaxPayload, kMaxLzxBlock);
    if (!history_.Allocate(allocator, kBlockSize) || !pending_.Allocate(allocator, kBlockSize) ||
        !record_.Allocate(allocator, CabData::kEncodedLength + kMaxDataReserve + payload) ||
        !carry_.Allocate(allocator, payload) || !blocks_.Init(allocator)) {
        return ctx_.Fail(FCIERR_ALLOC_FAIL);
    }
    return true;
}

bool FolderBuilder::PrepareCompression(TCOMP type) {
    return blocks_.Prepare(type) || ctx_.Fail(FCIERR_ALLOC_FAIL);
}

void FolderBuilder::Open(TCOMP type) {
    cabinet_.AddFolder(RecordedType(type));
    open_ = true;
    continued_ = false;
    type_ = type;
    size_ = 0;
    compressed_ = 0;
    first_file_ = cabinet_.file_count();
    last_.valid = false;
    history_size_ = 0;
    pending_size_ = 0;
}

bool FolderBuilder::Close() {
    if (!open_) {
        return true;
    }
    if (pending_size_ != 0 && !SubmitBlock()) {
        return false;
    }
    if (!Drain(true)) {
        return false;
    }
    open_ = false;
    continued_ = false;
    return true;
}

bool FolderBuilder::ReadFile(INT_PTR hf, bool size_known, uint32_t size) {
    uint32_t total = 0;
    for (;;) {
        uint32_t want = kBlockSize - pending_size_;
        if (size_known) {
            want = std::min(want, size - total);
            if (want == 0) {
                return true;
            }
        }
        int err = 0;
        UINT n = ctx_.cb.read(hf, pending_.data() + pending_size_, want, &err, ctx_.cb.pv);
        if (n == UINT(-1) || n > want) {
            return ctx_.Fail(FCIERR_READ_SRC, err);
        }
        if (n == 0) {
            // A file whose size was learnt first has shrunk while being read.
            return !size_known || ctx_.Fail(FCIERR_READ_SRC, err);
        }
        if (uint64_t(total) + n > kMaxFileSize || uint64_t(size_) + n > kMaxFolderSize) {
            return ctx_.Fail(FCIERR_CAB_FORMAT_LIMIT);
        }
        total += n;
        pending_size_ += n;
        size_ += n;
        if (!size_known) {
            cabinet_.current_file().cbFile = total;
        }
        if (pending_size_ == kBlockSize && !SubmitBlock()) {
            return false;
        }
    }
}

uint64_t FolderBuilder::InFlightAllowance() const {
    return blocks_.InFlight() * uint64_t(cabinet_.DataHeaderSize() + kMszipMaxPayload);
}

// ---- blocks ----

bool FolderBuilder::SubmitBlock() {
    undo_.SaveInput(history_.data(), history_size_, pending_.data());
    if (blocks_.Full() && !Drain(false)) {
        return false;
    }
    blocks_.Submit(history_.data(), history_size_, pending_.data(), pending_size_,
                   size_ - pending_size_);
    ++submitted_;
    history_.Swap(pending_);
    history_size_ = pending_size_;
    pending_size_ = 0;
    return Drain(false);
}

bool FolderBuilder::Drain(bool wait_all) {
    CompressedBlock block;
    while (blocks_.Front(wait_all || blocks_.Full(), &block)) {
        if (!PlaceBlock(block)) {
            return false;
        }
    }
    return true;
}

bool FolderBuilder::PlaceBlock(const CompressedBlock &block) {
    bool ok = block.size != 0 || ctx_.Fail(FCIERR_MCI_FAIL);
    ok = ok && ctx_.Status(statusFile, block.size, block.uncompressed);
    ok = ok && PlaceRecord(block.payload, block.size, block.uncompressed, block.start);
    undo_.BlockPlaced(placed_, ok);
    blocks_.Pop();
    ++placed_;
    compressed_ += block.size;
    NoteUndoPoint();
    return ok;
}

// Writes the record, cut where the cabinet ends; the rest goes on in the next cabinet.
bool FolderBuilder::PlaceRecord(const uint8_t *payload, uint16_t size, uint16_t uncompressed,
                                uint32_t block_start) {
    const size_t header_size = cabinet_.DataHeaderSize();
    for (;;) {
        uint16_t part = size;
        if (!cabinet_.Fits(header_size + size)) {
            if (!cabinet_.RequestNext()) {
                return false;
            }
            uint64_t space = cabinet_.Room();
            part =
                space > header_size ? uint16_t(std::min<uint64_t>(space - header_size, size)) : 0;
            if (part == 0 && cabinet_.open_folder().cCFData != 0) {
                if (!MoveLastByteOn()) {
                    return false;
                }
                continue;
            }
        }
        if (part != 0) {
            if (!WriteRecordPart(payload, part, part == size ? uncompressed : 0)) {
                return false;
            }
            last_.start = block_start;
            payload += part;
            size = uint16_t(size - part);
        }
        if (size == 0) {
            return true;
        }
        if (!SplitFolder(block_start)) {
            return false;
        }
    }
}

// A continued folder never ends a cabinet with a whole block: some readers cannot join such a
// set. The block placed last gives its final byte to the next cabinet.
bool FolderBuilder::MoveLastByteOn() {
    if (!last_.valid || last_.size < 2) {
        return ctx_.Fail(FCIERR_CAB_FORMAT_LIMIT);
    }
    const LastRecord last = last_;
    memcpy(carry_.data(), record_.data() + cabinet_.DataHeaderSize(), last.size);
    cabinet_.CutData(last.offset);
    --cabinet_.open_folder().cCFData;
    if (!WriteRecordPart(carry_.data(), uint16_t(last.size - 1), 0) || !SplitFolder(last.start) ||
        !WriteRecordPart(carry_.data() + last.size - 1, 1, last.uncompressed)) {
        return false;
    }
    last_.start = last.start;
    return true;
}

bool FolderBuilder::WriteRecordPart(const uint8_t *payload, uint16_t size, uint16_t uncompressed) {
    const size_t header_size = cabinet_.DataHeaderSize();
    if (cabinet_.open_folder().cCFData == UINT16_MAX) {
        return ctx_.Fail(FCIERR_CAB_FORMAT_LIMIT);
    }
    CabData record;
    record.cbData = size;
    record.cbUncomp = uncompressed;
    record.csum = DataBlockChecksum(payload, record.cbData, record.cbUncomp);
    record.Encode(record_.data());
    memset(record_.data() + CabData::kEncodedLength, 0, cabinet_.data_reserve());
    memcpy(record_.data() + header_size, payload, size);
    const uint32_t offset = cabinet_.data_size();
    if (!cabinet_.AppendData(record_.data(), header_size + size)) {
        return false;
    }
    last_ = LastRecord{true, offset, size, uncompressed, 0};
    ++cabinet_.open_folder().cCFData;
    return true;
}

bool FolderBuilder::SplitFolder(uint32_t block_start) {
    const uint64_t written = cabinet_.cabinets_written();
    bool ok = cabinet_.SplitFolder(block_start, first_file_, RecordedType(type_));
    if (cabinet_.cabinets_written() != written) {
        last_.valid = false;  // its data went with the cabinet written
    }
    if (ok) {
        first_file_ = 0;
        continued_ = true;
    }
    return ok;
}

// ---- frames compressed elsewhere ----

bool FolderBuilder::PlaceFrame(const uint8_t *payload, uint16_t size, uint16_t uncompressed,
                               uint32_t start) {
    if (!ctx_.Status(statusFile, size, uncompressed) ||
        !PlaceRecord(payload, size, uncompressed, start)) {
        return false;
    }
    compressed_ += size;
    size_ = start + uncompressed;
    return true;
}

bool FolderBuilder::ContinueInNextCabinet(uint32_t next_start) {
    return cabinet_.open_folder().cCFData != 0 ? MoveLastByteOn() : SplitFolder(next_start);
}

// ---- undo ----

FolderMark FolderBuilder::Mark() const {
    return FolderMark{open_, 0, size_, 0, history_size_, pending_size_};
}

void FolderBuilder::NoteUndoPoint() {
    undo_.NotePlaced(placed_, cabinet_.data_size(),
                     cabinet_.has_folders() ? cabinet_.open_folder().cCFData : uint16_t(0),
                     compressed_);
}

bool FolderBuilder::PlaceBlocksBefore(uint64_t count) {
    CompressedBlock block;
    bool ok = true;
    while (ok && placed_ < count && blocks_.Front(true, &block)) {
        ok = PlaceBlock(block);
    }
    placed_ += blocks_.InFlight();
    blocks_.Clear();
    return ok;
}

void FolderBuilder::Restore(const FolderMark &mark, const uint8_t *history,
                            const uint8_t *pending) {
    last_.valid = false;
    open_ = mark.open;
    if (!open_) {
        return;
    }
    cabinet_.open_folder().cCFData = mark.blocks;
    size_ = mark.size;
    compressed_ = mark.compressed;
    if (history != nullptr) {
        memcpy(history_.data(), history, mark.history);
        memcpy(pending_.data(), pending, mark.pending);
    }
    history_size_ = mark.history;
    pending_size_ = mark.pending;
}

}  // namespace cab

#include "cabinet/reader/fdi_folder.h"

#include <algorithm>
#include <cstring>

#include "cabinet/reader/fdi_check.h"

namespace cab {

FDIERROR FolderReader::Start(const FdiCabinet *cab, uint16_t index) {
    if (active_ && next_folder_ && cab == start_cab_ && index == data_folder_) {
        // Read ahead already: what is left of the folder before is dropped.
        while (ahead_.taken() < next_folder_at_) {
            if (!block_) {
                (void)TakeBlock();
            }
            ReleaseBlock();
        }
        folder_ = index;
        pos_ = 0;
        next_folder_ = false;
        return FDIERROR_NONE;
    }
    active_ = false;
    // Made on first use: listing or skipping every file needs neither memory nor a thread.
    if (!ahead_.ready() && !ahead_.Init()) {
        return FDIERROR_ALLOC_FAIL;
    }
    ahead_.Clear();
    block_ = nullptr;
    queued_bytes_ = 0;
    lookahead_ = 0;
    read_stopped_ = next_folder_ = false;
    reset_next_ = true;
    const CabFolder &f = cab->folder(index);
    if (!decoder_ || decoder_type_ != f.typeCompress) {
        decoder_.reset();
        CreateStatus status;
        decoder_ = CreateDecoder(f.typeCompress, &status, callbacks_->allocator());
        if (status == CreateStatus::kUnsupported) {
            return FDIERROR_BAD_COMPR_TYPE;
        }
        if (!decoder_) {
            return FDIERROR_ALLOC_FAIL;
        }
        decoder_type_ = f.typeCompress;
    }
    FDI_CHECK(f.cCFData == 0 || in_->Seek(f.coffCabStart), FDIERROR_CORRUPT_CABINET);
    start_cab_ = data_cab_ = cab;
    folder_ = data_folder_ = index;
    blocks_left_ = f.cCFData;
    pos_ = 0;
    active_ = true;
    return FDIERROR_NONE;
}

// Moves reading on to the next folder of the cabinet, whose first file is likely asked for next.
bool FolderReader::StartNextFolder() {
    if (data_cab_ != start_cab_ || data_folder_ + 1u >= data_cab_->header().cFolders) {
        return false;
    }
    const CabFolder &f = data_cab_->folder(data_folder_ + 1);
    if (f.typeCompress != decoder_type_ || f.cCFData == 0 || !in_->Seek(f.coffCabStart)) {
        return false;
    }
    ++data_folder_;
    blocks_left_ = f.cCFData;
    reset_next_ = true;
    next_folder_ = true;
    next_folder_at_ = ahead_.submitted();
    return true;
}

// Moves on to the folder's part in the next cabinet.
FDIERROR FolderReader::ContinueInNextCabinet() {
    // Only the last folder of a cabinet runs on, and only when a next cabinet exists.
    bool last = data_folder_ + 1u == data_cab_->header().cFolders;
    FDI_CHECK(last && data_cab_->has_next(), FDIERROR_CORRUPT_CABINET);
    const FdiCabinet *next = nullptr;
    FDIERROR err = continuation_->OpenNextCabinet(data_cab_, &next);
    if (err != FDIERROR_NONE) {
        return err;
    }
    const CabFolder &f = next->folder(0);
    FDI_CHECK(f.typeCompress == decoder_type_, FDIERROR_CORRUPT_CABINET);
    data_cab_ = next;
    data_folder_ = 0;
    blocks_left_ = f.cCFData;
    FDI_CHECK(blocks_left_ == 0 || in_->Seek(f.coffCabStart), FDIERROR_CORRUPT_CABINET);
    return FDIERROR_NONE;
}

// Reads the next CFDATA header and makes its payload available, both checked.
FDIERROR FolderReader::ReadRecord(CabData *record, const uint8_t **payload) {
    const size_t header_size = CabData::kEncodedLength + data_cab_->header().cbCFData;
    const uint8_t *head = in_->Peek(header_size);
    FDI_CHECK(head, FDIERROR_CORRUPT_CABINET);
    const CabData d = CabData::Decode(head);
    in_->Consume(header_size);
    const uint8_t *p = in_->Peek(d.cbData);
    FDI_CHECK(p || d.cbData == 0, FDIERROR_CORRUPT_CABINET);
    FDI_CHECK(d.csum == 0 || DataBlockChecksum(p, d.cbData, d.cbUncomp) == d.csum,
              FDIERROR_CORRUPT_CABINET);
    --blocks_left_;
    FDI_CHECK(d.cbUncomp <= kBlockSize, FDIERROR_CORRUPT_CABINET);
    // A part of a split block ends its cabinet's run; a part in the middle is damage.
    FDI_CHECK(d.cbUncomp != 0 || blocks_left_ == 0, FDIERROR_CORRUPT_CABINET);
    *record = d;
    *payload = p;
    return FDIERROR_NONE;
}

FDIERROR FolderReader::ReadBlock(DecodeAhead::Slot *slot) {
    size_t joined = 0;
    for (;;) {
        FDIERROR err;
        if (blocks_left_ == 0) {
            if ((err = ContinueInNextCabinet()) != FDIERROR_NONE) {
                return err;
            }
            continue;
        }
        CabData d;
        const uint8_t *payload = nullptr;
        if ((err = ReadRecord(&d, &payload)) != FDIERROR_NONE) {
            return err;
        }
        FDI_CHECK(joined + d.cbData <= kMaxAnyBlock, FDIERROR_CORRUPT_CABINET);
        memcpy(slot->in + joined, payload, d.cbData);
        joined += d.cbData;
        in_->Consume(d.cbData);
        // A part of a split block has cbUncomp 0; the last part carries the block's.
        if (d.cbUncomp != 0) {
            slot->in_size = joined;
            slot->out_size = d.cbUncomp;
            return FDIERROR_NONE;
        }
    }
}

void FolderReader::ReadAhead(uint64_t wanted) {
    while (!read_stopped_ && !ahead_.Full() &&
           (queued_bytes_ < wanted || ahead_.Queued() < lookahead_)) {
        const bool runs_on =
            data_folder_ + 1u == data_cab_->header().cFolders && data_cab_->has_next();
        if (blocks_left_ == 0 && !runs_on && !next_folder_ && StartNextFolder()) {
            continue;
        }
        // The next cabinet is asked for only when the file being written needs its data.
        const bool crosses = blocks_left_ == 0 || (blocks_left_ == 1 && runs_on);
        if (crosses && (next_folder_ || queued_bytes_ >= wanted)) {
            return;
        }
        DecodeAhead::Slot &s = ahead_.Next();
        s.error = ReadBlock(&s);
        s.decoder = decoder_.get();
        s.reset = reset_next_;
        if (s.error != FDIERROR_NONE) {
            s.out_size = 0;
            read_stopped_ = true;
        } else {
            reset_next_ = false;
            queued_bytes_ += s.out_size;
        }
        ahead_.Submit();
    }
}

FDIERROR FolderReader::TakeBlock() {
    block_ = &ahead_.Wait();
    block_begin_ = 0;
    return block_->error;
}

void FolderReader::ReleaseBlock() {
    queued_bytes_ -= block_->out_size - block_begin_;
    block_ = nullptr;
    ahead_.Release();
    if (lookahead_ < DecodeAhead::kSlots) {
        ++lookahead_;
    }
}

FDIERROR FolderReader::Skip(uint64_t size) {
    return Consume(size, 0, false);
}

FDIERROR FolderReader::CopyTo(INT_PTR hf, uint32_t size) {
    return Consume(size, hf, true);
}

FDIERROR FolderReader::Consume(uint64_t size, INT_PTR hf, bool write) {
    while (size > 0) {
        if (!block_) {
            FDIERROR err = FDIERROR_CORRUPT_CABINET;
            // A file that runs past its folder's end meets the next folder's blocks, or none.
            if (!next_folder_ || ahead_.taken() != next_folder_at_) {
                ReadAhead(size);
                err = ahead_.Queued() > 0 ? TakeBlock() : FDIERROR_CORRUPT_CABINET;
            }
            if (err != FDIERROR_NONE) {
                active_ = false;
                return err;
            }
        }
        size_t take = std::min<uint64_t>(Contiguous(size), size);
        if (write && callbacks_->write(hf, block_->out + block_begin_, UINT(take)) != UINT(take)) {
            return FDIERROR_TARGET_FILE;
        }
        queued_bytes_ -= take;
        pos_ += take;
        size -= take;
        block_begin_ += take;
        while (block_ && block_begin_ >= block_->out_size) {
            const size_t over = block_begin_ - block_->out_size;
            block_begin_ = block_->out_size;
            ReleaseBlock();
            if (over > 0) {
                (void)TakeBlock();  // decoded already, without error
                block_begin_ = over;
            }
        }
    }
    return FDIERROR_NONE;
}

// Bytes from the block being handed out on that lie in one piece of memory: whole blocks decoded
// after it go out in the same write.
size_t FolderReader::Contiguous(uint64_t wanted) {
    size_t size = block_->out_size - block_begin_;
    if (size >= wanted) {
        return size;
    }
    const size_t ready = ahead_.Ready();
    const DecodeAhead::Slot *prev = block_;
    for (size_t i = 1; i < ready && size < wanted; ++i) {
        const DecodeAhead::Slot &s = ahead_.Peek(i);
        if (prev->out_size != kBlockSize || s.out != prev->out + kBlockSize ||
            s.error != FDIERROR_NONE || (next_folder_ && ahead_.taken() + i == next_folder_at_)) {
            break;
        }
        size += s.out_size;
        prev = &s;
    }
    return size;
}

}  // namespace cab

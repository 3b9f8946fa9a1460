#include "cabinet/reader/fdi_folder.h"

#include <cstring>

#include "cabinet/reader/fdi_check.h"

namespace cab {

FDIERROR FolderReader::Start(const FdiCabinet *cab, uint16_t index) {
    active_ = false;
    // Allocated on first use: listing or skipping every file needs no output buffer.
    if (!out_.data() && !out_.Allocate(callbacks_->allocator(), kBatchBlocks * kBlockSize)) {
        return FDIERROR_ALLOC_FAIL;
    }
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
    } else {
        decoder_->Reset();
    }
    FDI_CHECK(f.cCFData == 0 || in_->Seek(f.coffCabStart), FDIERROR_CORRUPT_CABINET);
    start_cab_ = data_cab_ = cab;
    folder_ = data_folder_ = index;
    blocks_left_ = f.cCFData;
    pos_ = 0;
    out_begin_ = out_end_ = 0;
    active_ = true;
    return FDIERROR_NONE;
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

FDIERROR FolderReader::ReadBlock(const uint8_t **data, size_t *size, uint16_t *cb_uncomp) {
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
        const bool split = d.cbUncomp == 0;
        *cb_uncomp = d.cbUncomp;
        if (!split && joined == 0) {
            // Decoded straight from the input buffer: valid until the next input call.
            *data = payload;
            *size = d.cbData;
            in_->Consume(d.cbData);
            return FDIERROR_NONE;
        }
        FDI_CHECK(join_.data() || join_.Allocate(callbacks_->allocator(), kMaxAnyBlock),
                  FDIERROR_ALLOC_FAIL);
        FDI_CHECK(joined + d.cbData <= join_.size(), FDIERROR_CORRUPT_CABINET);
        memcpy(join_.data() + joined, payload, d.cbData);
        joined += d.cbData;
        in_->Consume(d.cbData);
        if (!split) {
            *data = join_.data();
            *size = joined;
            return FDIERROR_NONE;
        }
    }
}

FDIERROR FolderReader::DecodeBatch(uint64_t wanted) {
    out_begin_ = out_end_ = 0;
    const size_t capacity = out_.size();
    while (out_end_ < wanted && out_end_ + kBlockSize <= capacity) {
        const uint8_t *data = nullptr;
        size_t size = 0;
        uint16_t cb_uncomp = 0;
        FDIERROR err = ReadBlock(&data, &size, &cb_uncomp);
        if (err != FDIERROR_NONE) {
            return err;
        }
        switch (decoder_->DecodeBlock(data, size, out_.data() + out_end_, cb_uncomp)) {
            case DecodeStatus::kOk:
                break;
            case DecodeStatus::kBadData:
                return FDIERROR_MDI_FAIL;
            case DecodeStatus::kNoMemory:
                return FDIERROR_ALLOC_FAIL;
        }
        out_end_ += cb_uncomp;
    }
    return FDIERROR_NONE;
}

FDIERROR FolderReader::Skip(uint64_t size) {
    return Consume(size, 0, false);
}

FDIERROR FolderReader::CopyTo(INT_PTR hf, uint32_t size) {
    return Consume(size, hf, true);
}

FDIERROR FolderReader::Consume(uint64_t size, INT_PTR hf, bool write) {
    while (size > 0) {
        if (out_begin_ == out_end_) {
            FDIERROR err = DecodeBatch(size);
            if (err != FDIERROR_NONE) {
                active_ = false;
                return err;
            }
        }
        size_t take = out_end_ - out_begin_;
        if (take > size) {
            take = size_t(size);
        }
        if (write && callbacks_->write(hf, out_.data() + out_begin_, UINT(take)) != UINT(take)) {
            return FDIERROR_TARGET_FILE;
        }
        out_begin_ += take;
        pos_ += take;
        size -= take;
    }
    return FDIERROR_NONE;
}

}  // namespace cab

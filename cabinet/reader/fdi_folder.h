// The uncompressed data of one folder as a stream: CFDATA blocks are read in large chunks,
// checked, joined when split across cabinets, decoded a batch at a time, and handed to the
// caller's write callback in one call per batch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "cabinet/codec/codec.h"
#include "cabinet/reader/fdi_cabinet.h"
#include "cabinet/reader/fdi_io.h"

namespace cab {

// What the stream needs from the extractor when a folder runs on into the next cabinet.
class FolderContinuation {
public:
    virtual ~FolderContinuation() = default;
    // Opens and checks the next cabinet of the set (the one after `current`), attaches it to the
    // input, and returns it; the previous cabinet's handle is closed.
    virtual FDIERROR OpenNextCabinet(const FdiCabinet *current, const FdiCabinet **next) = 0;
};

class FolderReader {
public:
    static constexpr size_t kBatchBlocks = 8;

    FolderReader(const FdiCallbacks *callbacks, CabInput *in, FolderContinuation *continuation)
        : callbacks_(callbacks), in_(in), continuation_(continuation) {}

    // Starts folder `index` of `cab` (whose handle the input reads) at uncompressed offset 0.
    FDIERROR Start(const FdiCabinet *cab, uint16_t index);
    bool active() const { return active_; }
    const FdiCabinet *start_cabinet() const { return start_cab_; }
    const FdiCabinet *data_cabinet() const { return data_cab_; }
    uint16_t folder() const { return folder_; }
    uint64_t position() const { return pos_; }
    void Stop() { active_ = false; }

    // Decodes and drops `size` bytes.
    FDIERROR Skip(uint64_t size);
    // Decodes `size` bytes and writes them to `hf` with the write callback.
    FDIERROR CopyTo(INT_PTR hf, uint32_t size);

private:
    // Decodes `size` bytes, writing them to `hf` when `write`, dropping them otherwise.
    FDIERROR Consume(uint64_t size, INT_PTR hf, bool write);
    FDIERROR DecodeBatch(uint64_t wanted);
    FDIERROR ReadBlock(const uint8_t **data, size_t *size, uint16_t *cb_uncomp);
    FDIERROR ReadRecord(CabData *record, const uint8_t **payload);
    FDIERROR ContinueInNextCabinet();

    const FdiCallbacks *callbacks_;
    CabInput *in_;
    FolderContinuation *continuation_;
    CallerMemory out_;   // kBatchBlocks decoded blocks
    CallerMemory join_;  // the parts of a block split across cabinets
    DecoderPtr decoder_;
    uint16_t decoder_type_ = 0;
    bool active_ = false;
    const FdiCabinet *start_cab_ = nullptr;
    const FdiCabinet *data_cab_ = nullptr;
    uint16_t folder_ = 0;       // index in start_cab_
    uint16_t data_folder_ = 0;  // index of the fragment in data_cab_
    uint32_t blocks_left_ = 0;  // blocks of the fragment not read yet
    uint64_t pos_ = 0;          // uncompressed offset of out_[out_begin_]
    size_t out_begin_ = 0, out_end_ = 0;
};

}  // namespace cab

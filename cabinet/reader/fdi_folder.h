// The uncompressed data of one folder as a stream: CFDATA blocks are read in large chunks,
// checked, joined when split across cabinets, decoded a few blocks ahead on a worker thread, and
// handed to the caller's write callback whole blocks or more at a time. Reading runs ahead of
// what the caller asked for only within the cabinet being read, and by no more blocks than were
// taken since the folder was started, so a restart wastes no more decoding than it used; the
// next folder of the cabinet is read ahead too, and taken over when its first file is asked for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "cabinet/codec/codec.h"
#include "cabinet/reader/fdi_cabinet.h"
#include "cabinet/reader/fdi_decode_ahead.h"
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
    FolderReader(const FdiCallbacks *callbacks, CabInput *in, FolderContinuation *continuation)
        : callbacks_(callbacks),
          in_(in),
          continuation_(continuation),
          ahead_(callbacks->allocator()) {}

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
    // Reads blocks into the ring: those `wanted` bytes need, and a few more.
    void ReadAhead(uint64_t wanted);
    bool StartNextFolder();
    FDIERROR ReadBlock(DecodeAhead::Slot *slot);
    FDIERROR ReadRecord(CabData *record, const uint8_t **payload);
    FDIERROR ContinueInNextCabinet();
    // Takes out the ring's oldest block, which must have been read.
    FDIERROR TakeBlock();
    void ReleaseBlock();
    size_t Contiguous(uint64_t wanted);

    const FdiCallbacks *callbacks_;
    CabInput *in_;
    FolderContinuation *continuation_;
    DecoderPtr decoder_;
    DecodeAhead ahead_;  // after decoder_: its worker stops before the decoder goes
    uint16_t decoder_type_ = 0;
    bool active_ = false;
    const FdiCabinet *start_cab_ = nullptr;
    const FdiCabinet *data_cab_ = nullptr;
    uint16_t folder_ = 0;       // index in start_cab_
    uint16_t data_folder_ = 0;  // index of the fragment in data_cab_
    uint32_t blocks_left_ = 0;  // blocks of the fragment not read yet
    uint64_t pos_ = 0;          // uncompressed offset in folder_ of the next byte handed out
    // Reading side.
    bool read_stopped_ = false;    // an error was queued: nothing more is read
    bool reset_next_ = false;      // the next block read starts a folder
    bool next_folder_ = false;     // reading has moved on to folder_ + 1 of start_cab_
    uint64_t next_folder_at_ = 0;  // the ring's sequence number of that folder's first block
    uint64_t queued_bytes_ = 0;    // decoded or to be decoded, not handed out yet
    size_t lookahead_ = 0;         // blocks that may be read beyond the wanted ones
    // Taking side.
    const DecodeAhead::Slot *block_ = nullptr;  // the block being handed out
    size_t block_begin_ = 0;
};

}  // namespace cab

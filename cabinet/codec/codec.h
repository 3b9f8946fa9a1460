// The reader's codec seam: one decoder per folder compression method.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "cabinet/format/caller_memory.h"

namespace cab {

enum class DecodeStatus {
    kOk,
    kBadData,   // malformed stream or wrong output size: FDIERROR_MDI_FAIL
    kNoMemory,  // FDIERROR_ALLOC_FAIL
};

// Decodes the CFDATA blocks of one folder in order. A decoder keeps whatever history its method
// carries from block to block until Reset().
class BlockDecoder {
public:
    virtual ~BlockDecoder() = default;

    // Starts a new folder: all history is dropped.
    virtual void Reset() = 0;

    // Decodes one whole block (the parts of a block split across cabinets already joined):
    // `in` holds the block's stored bytes, `out` receives exactly `out_size` bytes (cbUncomp,
    // at most 32768). Anything else than exactly `out_size` bytes is kBadData. Never reads or
    // writes outside the two ranges, whatever the input.
    virtual DecodeStatus DecodeBlock(const uint8_t *in, size_t in_size, uint8_t *out,
                                     size_t out_size) = 0;
};

// A decoder whose state cannot be trusted after a bad block: every later block of the folder
// fails too, until Reset() starts the next folder.
class FrameDecoder : public BlockDecoder {
public:
    void Reset() final {
        failed_ = false;
        ResetState();
    }

    DecodeStatus DecodeBlock(const uint8_t *in, size_t in_size, uint8_t *out,
                             size_t out_size) final {
        if (failed_) {
            return DecodeStatus::kBadData;
        }
        DecodeStatus status = DecodeFrame(in, in_size, out, out_size);
        failed_ = status != DecodeStatus::kOk;
        return status;
    }

protected:
    virtual void ResetState() = 0;
    virtual DecodeStatus DecodeFrame(const uint8_t *in, size_t in_size, uint8_t *out,
                                     size_t out_size) = 0;

private:
    bool failed_ = false;
};

enum class CreateStatus {
    kOk,
    kUnsupported,  // unknown or unsupported typeCompress: FDIERROR_BAD_COMPR_TYPE
    kNoMemory,
};

// A decoder and all it holds (windows, stream state) live in memory from `allocator`; it is
// made, used and destroyed on the caller's thread.
using DecoderPtr = CallerPtr<BlockDecoder>;

// Makes the decoder for a CFFOLDER.typeCompress value.
DecoderPtr CreateDecoder(uint16_t type_compress, CreateStatus *status,
                         const CallerAllocator &allocator = HeapAllocator());

// Per-method constructors, each in its own file. A null result means kNoMemory, except for
// methods not built in, whose constructors return null and set *supported to false.
DecoderPtr NewStoredDecoder(const CallerAllocator &allocator = HeapAllocator());
DecoderPtr NewMszipDecoder(const CallerAllocator &allocator = HeapAllocator());
DecoderPtr NewLzxDecoder(int window_bits, bool *supported,
                         const CallerAllocator &allocator = HeapAllocator());
DecoderPtr NewQuantumDecoder(int level, int window_bits, bool *supported,
                             const CallerAllocator &allocator = HeapAllocator());

}  // namespace cab

// The writer's codec seam for MSZIP: one CFDATA payload is "CK" followed by one complete
// raw-deflate stream over at most 32 KiB of input, whose matches may reach into the 32 KiB of
// folder input before it (the history every MSZIP decoder keeps). A coder sees nothing but the
// block and that history, so the cabinet is the same whichever thread compresses which block.
//
// Levels 1 (fastest) to 9 (smallest); what each uses was chosen by measuring, see
// bench/results.md: ISA-L's deflate for the fastest, our own block deflater for the others.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cabinet/fdi_fci_types.h"
#include "cabinet/format/cab_format.h"
#include "cabinet/format/caller_memory.h"

namespace cab {

// The level of an MSZIP TCOMP whose level field is 0.
inline constexpr int kMszipDefaultLevel = 4;

// Largest payload an encoded block can take: 32 KiB as stored deflate blocks plus "CK".
inline constexpr size_t kMszipMaxPayload = kMaxMszipBlock;

// The level (1..9) an MSZIP TCOMP asks for; 0 when the TCOMP is not a valid MSZIP one.
int MszipLevel(TCOMP type);

class MszipCoder {
public:
    virtual ~MszipCoder() = default;

    // Encodes window[history, history + size) (size 1..32768, history at most 32768) into `out`
    // (kMszipMaxPayload bytes), matches reaching into window[0, history). Returns the payload
    // size (0 only for sizes out of range). Input the coder cannot shrink, or a stream it fails
    // to make, is written as stored deflate blocks instead.
    size_t Encode(const uint8_t *window, size_t history, size_t size, uint8_t *out);

protected:
    // The raw-deflate stream, at most `out_size` bytes; 0 when it fails or does not fit.
    virtual size_t Deflate(const uint8_t *window, size_t history, size_t size, uint8_t *out,
                           size_t out_size) = 0;
};

// The coder for `level` (1..9), all its memory taken from `allocator` now, on the caller's
// thread (none later, so Encode may run on another); null when memory is short.
CallerPtr<MszipCoder> NewMszipCoder(int level, const CallerAllocator &allocator = HeapAllocator());

// Writes `size` (<= 32768) bytes as "CK" + stored deflate blocks; returns the payload size.
size_t EncodeMszipStored(const uint8_t *data, size_t size, uint8_t *out);

}  // namespace cab

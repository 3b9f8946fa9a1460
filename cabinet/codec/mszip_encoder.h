// MSZIP block encoder: one CFDATA payload is "CK" followed by one complete raw-deflate run over at
// most 32 KiB of input, primed with the preceding folder input as a preset dictionary.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cabinet/format/cab_format.h"
#include "cabinet/format/caller_memory.h"

namespace cab {

// zlib level for MSZIP folders, the smallest that stays under gcab -c -z on both trees measured:
// 95 MB mixed tree (headers, shared libraries, 15 MB of noise): gcab 43.86 MB; level 4 43.27 MB in
// 1.9 s CPU, 5 42.61 MB in 2.2 s, 6 42.32 MB in 3.3 s, 9 42.17 MB in 10.2 s. 20,000 text files of
// 1-4 KB: gcab 6.90 MB; level 5 7.22 MB (larger), 6 6.60 MB, 9 6.13 MB.
inline constexpr int kMszipLevel = 6;

// Largest payload an encoded block can take: 32 KiB as stored deflate blocks plus "CK".
inline constexpr size_t kMszipMaxPayload = kMaxMszipBlock;

class MszipEncoder {
public:
    MszipEncoder() = default;
    ~MszipEncoder();
    MszipEncoder(const MszipEncoder &) = delete;
    MszipEncoder &operator=(const MszipEncoder &) = delete;

    // Prepares the zlib stream, its state in memory from `allocator` (zlib allocates nothing
    // later, so Encode may run on another thread); false when that memory cannot be had.
    bool Init(int level = kMszipLevel, const CallerAllocator &allocator = HeapAllocator());

    // Encodes `size` (1..32768) bytes of `data` into `out` (kMszipMaxPayload bytes), with the last
    // `dict_size` bytes before the block (0 at a folder start) as history. Returns the payload
    // size, or 0 on a compressor failure. Never returns more than kMszipMaxPayload: input zlib
    // cannot shrink is written as stored deflate blocks instead.
    size_t Encode(const uint8_t *dict, size_t dict_size, const uint8_t *data, size_t size,
                  uint8_t *out);

private:
    CallerAllocator allocator_;
    CallerMemory stream_;  // a z_stream, kept opaque so that zlib.h stays out of this header
    CallerMemory scratch_;
    bool ready_ = false;
};

// Writes `size` (<= 32768) bytes as "CK" + stored deflate blocks; returns the payload size.
size_t EncodeMszipStored(const uint8_t *data, size_t size, uint8_t *out);

}  // namespace cab

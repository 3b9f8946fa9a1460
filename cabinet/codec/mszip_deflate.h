// Our own deflate coder for MSZIP blocks: one complete raw-deflate stream for at most 32 KiB of
// input, whose matches may reach back into the 32 KiB before it (the history every MSZIP decoder
// keeps). Made for that one shape: the whole window is at most 64 KiB, so positions are 16 bits
// and the match finder starts afresh for every block, and the output depends on nothing but the
// block and its history.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cabinet/format/caller_memory.h"

namespace cab {

struct DeflateSettings {
    uint16_t max_depth;    // hash chain entries tried for one position
    uint16_t nice_length;  // a match at least this long is taken without looking further
    uint8_t lazy;          // positions looked ahead for a better match: 0, 1 or 2
    // After this many lookups in a row without a match (0: never), positions are stepped over,
    // more of them the longer it lasts, unhashed: data without matches costs little.
    uint8_t skip;
};

class BlockDeflater {
public:
    BlockDeflater() = default;
    BlockDeflater(const BlockDeflater &) = delete;
    BlockDeflater &operator=(const BlockDeflater &) = delete;

    // Takes the tables from the caller's allocator; false when it refuses.
    bool Init(const CallerAllocator &allocator, const DeflateSettings &settings);

    // Deflates window[history, history + size) (size 1..32768, history at most 32768), matches
    // reaching into window[0, history). Writes at most `out_size` bytes to `out` and returns how
    // many, or 0 when the stream does not fit.
    size_t Deflate(const uint8_t *window, size_t history, size_t size, uint8_t *out,
                   size_t out_size);

private:
    struct Tables;
    uint32_t Parse(const uint8_t *window, uint32_t start, uint32_t end);
    DeflateSettings settings_{};
    CallerMemory memory_;
    Tables *t_ = nullptr;
};

}  // namespace cab

// LZX encoder for cabinet folders (typeCompress method 3, windows 2^15 .. 2^21), written from
// lzx-format.md. One encoder writes one folder stream at a time: the folder's bytes go in, one
// CFDATA payload per 32 KiB frame comes out, each at most kMaxLzxBlock bytes.
//
// The input is taken a segment at a time (a few frames): x86 CALL operands are translated, the
// segment is parsed into literals and matches, and its frames are grouped into LZX blocks, each
// written verbatim, with aligned offsets or uncompressed, whichever is smallest. Blocks always
// begin on a frame boundary, so no uncompressed block starts at an odd stream offset and no frame
// ends inside one at an odd offset. Output depends only on the folder's bytes and the settings,
// never on how the input is handed over.
//
// All working memory is one block the caller allocates (MemorySize), so that the writer can take
// it from its allocator on its own thread and run the encoder on another.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cab {

enum class LzxLevel {
    kFast,      // hash chains and a lazy parse
    kThorough,  // binary trees and a near-optimal parse
};

// Receives the payload of each frame in order; false stops the encoder.
class LzxFrameSink {
public:
    virtual bool TakeFrame(const uint8_t *payload, uint32_t size, uint32_t uncompressed) = 0;

protected:
    ~LzxFrameSink() = default;
};

class LzxEncoder {
public:
    // Bytes of working memory for a window of 2^window_bits bytes (15 .. 21).
    static size_t MemorySize(int window_bits, LzxLevel level);

    // `memory` holds MemorySize(window_bits, level) bytes, aligned for uint64_t, and outlives the
    // encoder. Starts a folder.
    LzxEncoder(int window_bits, LzxLevel level, void *memory);
    ~LzxEncoder();
    LzxEncoder(const LzxEncoder &) = delete;
    LzxEncoder &operator=(const LzxEncoder &) = delete;

    // Drops everything and starts a new folder.
    void Reset();
    // Before the folder's first Write: the most bytes it may hold. A folder that may pass 1 GiB,
    // where the format stops translating x86 calls, is written without translation, because one
    // widely used reader goes on translating past that point. Until said, calls are translated.
    void SetFolderBound(uint64_t most);
    // Adds folder bytes; frames are handed to `sink` as they are complete. False when the sink
    // refused a frame (the folder is then lost: Reset before reusing the encoder).
    bool Write(const uint8_t *data, size_t size, LzxFrameSink &sink);
    // Codes every whole frame given so far, looking no further ahead: for a writer that must see
    // a file's frames before the next file comes. Output then depends on where flushes fell too.
    bool Flush(LzxFrameSink &sink);
    // Ends the folder: the remaining frames, the last one shorter unless the folder size is a
    // multiple of 32768. An empty folder has no frames. Reset follows by itself.
    bool Finish(LzxFrameSink &sink);

private:
    struct State;
    State *s_;
};

}  // namespace cab

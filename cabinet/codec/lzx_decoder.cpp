// LZX decoder for cabinet folders (typeCompress method 3), written from lzx-format.md.
//
// One CFDATA block is one 32 KiB frame of output. The LZX stream of a folder is read one block at a
// time: the bit reader restarts at the start of each block (every complete block holds an even
// number of bytes, so word boundaries agree with the folder stream), while the window, R0-R2, the
// current LZX block and its trees, and the delta bases of the path lengths carry over until
// Reset(). Frames never wrap inside the window (W >= 32 KiB and frames start at multiples of 32
// KiB), so a frame is decoded straight into the window and copied out, E8 reversal applied to the
// copy.
#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "cabinet/codec/codec.h"
#include "cabinet/codec/lzx_common.h"
#include "cabinet/format/cab_format.h"
#include "platform/crt.h"

namespace cab {
namespace {

using namespace lzx;

constexpr size_t kMaxInput = 32768 + 6144;
constexpr size_t kLargePage = size_t(2) << 20;
// How far past its end a wide match copy may read or write.
constexpr uint32_t kCopySlack = 32;

// Tokens decoded between two bounds checks of the bit reader.
constexpr uint32_t kBatchBytes = 256;
// Zero bytes kept after a frame's stream: the reader loads 8 bytes at up to 8 past its end, and
// up to 7 further per refill in a batch of at most kBatchBytes tokens.
constexpr size_t kStreamPad = 16 + 8 * kBatchBytes;

// Reads the stream as 16-bit little-endian words, most significant bit first. Bits beyond the end
// of the input read as zero; whether any of them were consumed is judged at the frame end.
class BitReader {
    // Eight 16-bit words swapped at once, as one vector register where the target has them.
    using Words = uint16_t __attribute__((vector_size(16)));

public:
    // Reads in[pos, size), first turned into one big-endian bit string in `scratch`, which holds
    // kMaxInput + kStreamPad bytes.
    void Start(const uint8_t *in, size_t size, size_t pos, uint8_t *scratch) {
        const size_t n = size - pos;
        const size_t whole = n & ~size_t(15);
        for (size_t i = 0; i < whole; i += 16) {
            Words v;
            std::memcpy(&v, in + pos + i, 16);
            v = v << 8 | v >> 8;
            std::memcpy(scratch + i, &v, 16);
        }
        std::memset(scratch + whole, 0, kStreamPad);
        for (size_t i = whole; i < n; ++i)
            scratch[i ^ 1] = in[pos + i];  // an odd last byte is the low half of its word
        data_ = scratch;
        next_ = scratch;
        // Past the stream's end plus 8 only zeros are loaded; reaching it means bits beyond the
        // end were consumed.
        limit_ = scratch + ((n + 1) & ~size_t(1)) + 8;
        base_ = pos;
        buf_ = 0;
        count_ = 0;
        Refill();
    }

    // Guarantees at least 56 bits in the buffer. The load's address is known before the bits
    // are consumed, so it stays off the decoding's chain of dependent steps; bits loaded twice
    // are the same bits.
    void Refill() {
        RefillUnbounded();
        Bound();
    }
    // Refill without the bound: the caller calls Bound() at least every kBatchBytes refills.
    void RefillUnbounded() {
        uint64_t v;
        std::memcpy(&v, next_, 8);
        if constexpr (std::endian::native == std::endian::little)
            v = __builtin_bswap64(v);
        buf_ |= v >> count_;
        next_ += (63 - count_) >> 3;
        count_ |= 56;
    }
    void Bound() { next_ = std::min(next_, limit_); }
    uint32_t Peek16() const { return uint32_t(buf_ >> 48); }
    void Skip(int n) {
        buf_ <<= n;
        count_ -= unsigned(n);
    }
    // 0 <= n <= 32; the caller has refilled.
    uint32_t Take(int n) {
        uint32_t v = uint32_t((buf_ >> (63 - n)) >> 1);
        Skip(n);
        return v;
    }
    // Drops the rest of the current word. `whole_word_if_aligned` makes an aligned reader drop a
    // whole word, as the padding before uncompressed block data demands.
    void Align(bool whole_word_if_aligned) {
        Refill();
        int rest = int((16 - Bits() % 16) % 16);
        if (rest == 0 && whole_word_if_aligned)
            rest = 16;
        Skip(rest);
        Refill();
    }
    // Input bytes consumed so far, counted in whole words; past the input's end if bits beyond
    // it were consumed.
    size_t Consumed() const {
        if (next_ == limit_)
            return base_ + size_t(limit_ - data_);
        return base_ + (Bits() + 15) / 16 * 2;
    }

private:
    size_t Bits() const { return size_t(next_ - data_) * 8 - count_; }

    const uint8_t *data_ = nullptr;
    const uint8_t *next_ = nullptr;   // where the next load starts
    const uint8_t *limit_ = nullptr;  // next_ stops here
    size_t base_ = 0;
    uint64_t buf_ = 0;    // valid bits at the top, zeros or the stream's next bits below them
    unsigned count_ = 0;  // valid bits in buf_
};

// Canonical Huffman code with a direct table for codes up to kBits long and a per-length search for
// longer ones. Unassigned codes (incomplete or empty trees) decode to -1.
template <int kBits, int kMaxSymbols>
class HuffmanCode {
public:
    // False if a length exceeds max_len or the code is oversubscribed.
    bool Build(const uint8_t *lengths, int n, int max_len) {
        max_len_ = max_len;
        uint16_t count[17] = {};
        for (int s = 0; s < n; ++s) {
            if (lengths[s] > max_len)
                return false;
            ++count[lengths[s]];
        }
        count[0] = 0;
        uint32_t code = 0;
        uint16_t index = 0;
        for (int len = 1; len <= 16; ++len) {
            first_code_[len] = uint16_t(code);
            count_[len] = count[len];
            offset_[len] = index;
            code += count[len];
            index = uint16_t(index + count[len]);
            if (code > (1u << len))
                return false;
            code <<= 1;
        }
        uint16_t next[17];
        for (int len = 1; len <= 16; ++len)
            next[len] = offset_[len];
        for (int s = 0; s < n; ++s) {
            if (lengths[s] != 0)
                sorted_[next[lengths[s]]++] = uint16_t(s);
        }
        std::memset(table_, 0, sizeof(table_));
        for (int len = 1; len <= kBits && len <= max_len; ++len) {
            for (int i = 0; i < count_[len]; ++i) {
                uint32_t c = first_code_[len] + i;
                uint16_t entry = uint16_t((sorted_[offset_[len] + i] << 4) | len);
                uint32_t start = c << (kBits - len), end = (c + 1) << (kBits - len);
                for (uint32_t k = start; k < end; ++k)
                    table_[k] = entry;
            }
        }
        return true;
    }

    // The table entry for the next bits, symbol << 4 | length; 0 for a longer or unassigned code,
    // which Decode settles.
    uint16_t Entry(const BitReader &br) const { return table_[br.Peek16() >> (16 - kBits)]; }

    // The caller has refilled (16 bits available).
    int Decode(BitReader &br) const {
        uint32_t v = br.Peek16();
        uint16_t entry = table_[v >> (16 - kBits)];
        if (entry != 0) {
            br.Skip(entry & 15);
            return entry >> 4;
        }
        for (int len = kBits + 1; len <= max_len_; ++len) {
            uint32_t d = (v >> (16 - len)) - first_code_[len];
            if (d < count_[len]) {
                br.Skip(len);
                return sorted_[offset_[len] + d];
            }
        }
        return -1;
    }

private:
    uint16_t table_[1 << kBits] = {};
    uint16_t sorted_[kMaxSymbols];
    uint16_t first_code_[17];
    uint16_t count_[17];
    uint16_t offset_[17];
    int max_len_ = 0;
};

// All ones if `c`, else zero: selections made with it compile to no branch.
constexpr uint32_t Mask(bool c) {
    return 0u - uint32_t(c);
}

using Pretree = HuffmanCode<6, kPretreeElements>;
using MainTree = HuffmanCode<12, kMaxMainElements>;
using LengthTree = HuffmanCode<9, kLengthElements>;
using AlignedTree = HuffmanCode<7, kAlignedElements>;

class LzxDecoder final : public FrameDecoder {
public:
    explicit LzxDecoder(int window_bits)
        : window_size_(1u << window_bits),
          window_mask_(2 * window_size_ - 1),
          main_elements_(kNumChars + 8 * SlotCount(window_bits)) {}

    bool Allocate(const CallerAllocator &allocator) {
        // The history starts on a large-page boundary when it spans large pages: the decoder
        // reaches all over it, and large pages spare it most of the page faults and TLB misses.
        const size_t size = 2 * size_t(window_size_) + kCopySlack;
        const size_t align = size > kLargePage ? kLargePage : 1;
        if (!memory_.Allocate(allocator, size + align - 1))
            return false;
        const uintptr_t at = reinterpret_cast<uintptr_t>(memory_.data());
        window_ = memory_.data() + ((align - at % align) % align);
        AdviseLargePages(window_, size);
        // Wide copies read a little past what they copy: behind the write position, except past
        // the history's end, whose bytes are never output but are defined. The rest is written
        // before it is read.
        std::memset(window_ + 2 * size_t(window_size_), 0, kCopySlack);
        return true;
    }

    void ResetState() override {
        pos_ = 0;
        r_ = {1, 1, 1};
        header_read_ = false;
        e8_enabled_ = false;
        e8_size_ = 0;
        block_type_ = kNoBlock;
        block_remaining_ = 0;
        stream_offset_ = 0;
        finished_ = false;
        std::memset(main_len_, 0, sizeof(main_len_));
        std::memset(length_len_, 0, sizeof(length_len_));
    }

private:
    DecodeStatus DecodeFrame(const uint8_t *in, size_t in_size, uint8_t *out,
                             size_t out_size) override;
    bool ReadBlockHeader(BitReader &br, const uint8_t *in, size_t in_size, size_t *cursor,
                         bool *byte_mode);
    bool ReadLengths(BitReader &br, uint8_t *lengths, int first, int end);
    bool ReadTrees(BitReader &br);
    struct Repeats {
        uint32_t r0, r1, r2;
    };
    // How a position slot's footer is coded in the current block.
    struct SlotCode {
        uint32_t base;       // the slot's base offset less 2, before the footer is added
        uint32_t high_bits;  // footer bits read verbatim
        uint32_t aligned;    // all ones: an aligned-tree code for the low 3 bits follows
    };
    struct Token {  // a match
        uint32_t offset;
        uint16_t at;  // where it starts in the batch's output
        uint16_t length;
    };
    struct Batch {
        Token tokens[kBatchBytes / kMinMatch];
        // The batch's output with only the literals written, each at its place.
        uint8_t literals[kBatchBytes + kMaxMatch + kCopySlack] = {};
        uint32_t bytes = 0;
        int count = 0;
    };

    bool DecodeTokens(BitReader &br, uint64_t limit);
    bool DecodeBatch(BitReader &br, Repeats &r, uint64_t pos, uint32_t room, Batch *batch) const;
    bool DecodeMatch(BitReader &br, int sym, Repeats &r, uint32_t *length, uint32_t *offset) const;
    void WriteBatch(const Batch &batch, uint32_t dst);
    void SetSlotCodes();
    void CopyMatch(uint8_t *window, uint32_t dst, uint32_t src, uint32_t offset,
                   uint32_t length) const;
    void ReverseE8(uint8_t *frame, size_t size, uint64_t frame_start) const;
    void ReverseCall(uint8_t *frame, size_t i, uint64_t frame_start) const;

    const uint32_t window_size_;
    // The history lives in twice the window, so that the bytes a wide copy writes past a match's
    // end fall on positions more than a window back, which no offset reaches.
    const uint32_t window_mask_;
    const int main_elements_;
    CallerMemory memory_;
    uint8_t *window_ = nullptr;               // in memory_
    uint8_t stream_[kMaxInput + kStreamPad];  // the frame's input for the bit reader

    uint64_t pos_ = 0;  // bytes output in this folder
    Repeats r_ = {1, 1, 1};
    SlotCode slot_codes_[kMaxSlots] = {};
    bool header_read_ = false;
    bool e8_enabled_ = false;
    uint32_t e8_size_ = 0;
    int block_type_ = kNoBlock;
    uint32_t block_remaining_ = 0;
    uint64_t stream_offset_ = 0;  // folder-stream offset of the current CFDATA's first byte
    bool finished_ = false;       // a short (final) frame was seen

    uint8_t main_len_[kMaxMainElements] = {};
    uint8_t length_len_[kLengthElements] = {};
    MainTree main_tree_;
    LengthTree length_tree_;
    AlignedTree aligned_tree_;
    Pretree pretree_;
};

bool LzxDecoder::ReadLengths(BitReader &br, uint8_t *lengths, int first, int end) {
    uint8_t pre_len[kPretreeElements];
    br.Refill();
    for (int i = 0; i < kPretreeElements; ++i) {
        if (i == 12)
            br.Refill();
        pre_len[i] = uint8_t(br.Take(4));
    }
    if (!pretree_.Build(pre_len, kPretreeElements, 15))
        return false;
    int x = first;
    while (x < end) {
        br.Refill();
        int c = pretree_.Decode(br);
        if (c < 0)
            return false;
        if (c <= 16) {
            lengths[x] = uint8_t((lengths[x] + 17 - c) % 17);
            ++x;
            continue;
        }
        int run;
        uint8_t value = 0;
        if (c == 17) {
            run = 4 + int(br.Take(4));
        } else if (c == 18) {
            run = 20 + int(br.Take(5));
        } else {
            run = 4 + int(br.Take(1));
            int c2 = pretree_.Decode(br);
            if (c2 < 0 || c2 > 16)
                return false;
            value = uint8_t((lengths[x] + 17 - c2) % 17);
        }
        if (run > end - x)
            return false;
        std::memset(lengths + x, value, size_t(run));
        x += run;
    }
    return true;
}

bool LzxDecoder::ReadTrees(BitReader &br) {
    if (block_type_ == kAligned) {
        uint8_t aligned_len[kAlignedElements];
        br.Refill();
        for (int i = 0; i < kAlignedElements; ++i)
            aligned_len[i] = uint8_t(br.Take(3));
        if (!aligned_tree_.Build(aligned_len, kAlignedElements, 7))
            return false;
    }
    if (!ReadLengths(br, main_len_, 0, kNumChars))
        return false;
    if (!ReadLengths(br, main_len_, kNumChars, main_elements_))
        return false;
    if (!ReadLengths(br, length_len_, 0, kLengthElements))
        return false;
    return main_tree_.Build(main_len_, main_elements_, 16) &&
           length_tree_.Build(length_len_, kLengthElements, 16);
}

void LzxDecoder::SetSlotCodes() {
    for (int slot = 0; slot < kMaxSlots; ++slot) {
        const int bits = kSlots.bits[slot];
        const bool aligned = block_type_ == kAligned && bits >= 3;
        slot_codes_[slot] = {kSlots.base[slot] - 2, uint32_t(aligned ? bits - 3 : bits),
                             Mask(aligned)};
    }
}

// Reads a block header (and trees or the R0-R2 record); leaves the reader in byte mode at
// *cursor for an uncompressed block.
bool LzxDecoder::ReadBlockHeader(BitReader &br, const uint8_t *in, size_t in_size, size_t *cursor,
                                 bool *byte_mode) {
    br.Refill();
    block_type_ = int(br.Take(3));
    block_remaining_ = br.Take(24);
    if (block_remaining_ == 0)
        return false;
    switch (block_type_) {
        case kVerbatim:
        case kAligned:
            SetSlotCodes();
            return ReadTrees(br);
        case kUncompressed:
            br.Align(true);
            *cursor = br.Consumed();
            if (*cursor + 12 > in_size)
                return false;
            r_ = {LoadLe32(in + *cursor), LoadLe32(in + *cursor + 4), LoadLe32(in + *cursor + 8)};
            *cursor += 12;
            *byte_mode = true;
            return true;
        default:
            return false;
    }
}

// Copies a match inside the history buffer; the destination never wraps (it lies in the current
// frame) and may be overrun by up to kCopySlack bytes.
void LzxDecoder::CopyMatch(uint8_t *window, uint32_t dst, uint32_t src, uint32_t offset,
                           uint32_t length) const {
    uint8_t *d = window + dst;
    if (src + length > window_mask_ + 1) {
        for (uint32_t i = 0; i < length; ++i) {
            d[i] = window[src];
            src = (src + 1) & window_mask_;
        }
        return;
    }
    const uint8_t *s = window + src;
    uint8_t *const end = d + length;
    if (offset >= 16) {
        // Each 16 bytes read lie before the 16 written, so chunks reproduce a bytewise copy. Two
        // chunks whatever the length: most matches need no loop.
        std::memcpy(d, s, 16);
        std::memcpy(d + 16, s + 16, 16);
        for (d += 32, s += 32; d < end; d += 16, s += 16)
            std::memcpy(d, s, 16);
        return;
    }
    if (offset < 8) {
        // Bytewise for the first 8, then the pattern repeats with a period of at least 8.
        for (int i = 0; i < 8; ++i)
            d[i] = s[i];
        if (length <= 8)
            return;
        uint32_t period = offset;
        while (period < 8)
            period += offset;
        d += 8;
        s = d - period;
    }
    while (d < end) {
        std::memcpy(d, s, 8);
        d += 8;
        s += 8;
    }
}

// Decodes one match (main symbol `sym`, its code consumed) into *length and *offset and brings
// R0-R2 up to date. Written without branches on the length header and the slot, which the data
// makes unpredictable; returns true when the match is malformed, as a flag the caller gathers.
[[gnu::always_inline]] inline bool LzxDecoder::DecodeMatch(BitReader &br, int sym, Repeats &r,
                                                           uint32_t *length,
                                                           uint32_t *offset) const {
    sym -= kNumChars;
    const uint32_t header = uint32_t(sym & 7);
    const uint32_t slot = uint32_t(sym >> 3);
    bool bad = false;
    // The length tree's code is read whether or not the header calls for it.
    const uint32_t long_match = Mask(header == kNumPrimaryLengths);
    uint32_t entry = length_tree_.Entry(br);
    if (long_match != 0 && entry == 0) {
        const int extra = length_tree_.Decode(br);  // consumes its code itself
        bad = extra < 0;
        entry = uint32_t(extra < 0 ? 0 : extra) << 4;
    }
    br.Skip(int(entry & 15 & long_match));
    *length = header + kMinMatch + ((entry >> 4) & long_match);

    // Footer: the high bits, then for aligned slots the aligned tree's code (always looked up).
    const SlotCode code = slot_codes_[slot];
    uint32_t footer = br.Take(code.high_bits);
    const uint32_t aligned = aligned_tree_.Entry(br);
    bad |= (code.aligned & Mask(aligned == 0)) != 0;
    br.Skip(int(aligned & 15 & code.aligned));
    footer = footer << (code.aligned & 3) | ((aligned >> 4) & code.aligned);

    // Slots 0-2 repeat R0-R2, swapping the one used with R0; the others push a new offset.
    const uint32_t is0 = Mask(slot == 0), is1 = Mask(slot == 1), is2 = Mask(slot == 2);
    const uint32_t fresh = ~(is0 | is1 | is2);
    const uint32_t off =
        (r.r0 & is0) | (r.r1 & is1) | (r.r2 & is2) | ((code.base + footer) & fresh);
    const uint32_t r1 = ((r.r0 & (is1 | fresh)) | (r.r1 & ~(is1 | fresh)));
    const uint32_t r2 = (r.r0 & is2) | (r.r1 & fresh) | (r.r2 & (is0 | is1));
    r = {off, r1, r2};
    *offset = off;
    return bad;
}

// Decodes the tokens of up to kBatchBytes of output from `pos` (and a match reaching past them)
// into `batch`; false on a malformed token. Each match's source is prefetched, since it mostly
// lies far back in a history larger than the caches.
bool LzxDecoder::DecodeBatch(BitReader &br, Repeats &r, uint64_t pos, uint32_t room,
                             Batch *batch) const {
    const uint32_t stop = std::min(room, kBatchBytes);
    const uint8_t *const window = window_;
    int n = 0;
    uint32_t out = 0;
    bool bad = false;
    while (out < stop) {
        // One refill serves a whole token: main and length codes of up to 16 bits each, then at
        // most 21 footer bits (14 and an aligned code of up to 7).
        br.RefillUnbounded();
        int sym = main_tree_.Decode(br);
        if (sym < kNumChars) {
            bad |= sym < 0;  // unassigned code
            batch->literals[out++] = uint8_t(sym);
            continue;
        }
        uint32_t length, offset;
        bad |= DecodeMatch(br, sym, r, &length, &offset);
        bad |= offset == 0 || offset > pos + out || offset > window_size_ || length > room - out;
        __builtin_prefetch(window + ((pos + out - offset) & window_mask_));
        batch->tokens[n++] = {offset, uint16_t(out), uint16_t(length)};
        out += length;
    }
    batch->count = n;
    batch->bytes = out;
    return !bad;
}

// Copies `n` literals, and up to kCopySlack bytes after them.
inline void CopyLiterals(uint8_t *d, const uint8_t *s, uint32_t n) {
    std::memcpy(d, s, 16);
    std::memcpy(d + 16, s + 16, 16);
    for (uint32_t k = 32; k < n; k += 16)
        std::memcpy(d + k, s + k, 16);
}

// Writes a decoded batch to the history at `dst`, while the prefetches of its sources are under
// way. Each token's wide copy may run over the next token's place, which that token then writes.
void LzxDecoder::WriteBatch(const Batch &batch, uint32_t dst) {
    uint8_t *const window = window_;
    uint32_t done = 0;
    for (int i = 0; i < batch.count; ++i) {
        const Token t = batch.tokens[i];
        CopyLiterals(window + dst + done, batch.literals + done, t.at - done);
        CopyMatch(window, dst + t.at, (dst + t.at - t.offset) & window_mask_, t.offset, t.length);
        done = uint32_t(t.at) + t.length;
    }
    if (done < batch.bytes)
        CopyLiterals(window + dst + done, batch.literals + done, batch.bytes - done);
}

// Tokens are decoded in batches: the first pass reads the codes, checks them and gathers the
// literals; the second writes the output.
bool LzxDecoder::DecodeTokens(BitReader &reader, uint64_t limit) {
    Batch batch;
    // Local copies, which the compiler keeps in registers.
    BitReader br = reader;
    Repeats r = r_;
    uint64_t pos = pos_;
    while (pos < limit) {
        br.Bound();
        if (!DecodeBatch(br, r, pos, uint32_t(limit - pos), &batch))
            return false;
        WriteBatch(batch, uint32_t(pos & window_mask_));
        pos += batch.bytes;
    }
    br.Bound();
    pos_ = pos;
    reader = br;
    r_ = r;
    return true;
}

// Undoes the translation of the call at frame[i] (an E8 byte) in place.
void LzxDecoder::ReverseCall(uint8_t *frame, size_t i, uint64_t frame_start) const {
    const int64_t translation = e8_size_;
    const int64_t cur = int64_t(frame_start + i);
    const int64_t v = int32_t(LoadLe32(frame + i + 1));
    if (v >= -cur && v < translation) {
        const int64_t translated = v >= 0 ? v - cur : v + translation;
        StoreLe32(frame + i + 1, uint32_t(translated));
    }
}

#if defined(__SSE2__)
// Bit k set when p[k] is an E8 byte, for the 64 bytes at p.
inline uint64_t E8Bits(const uint8_t *p) {
    const __m128i e8 = _mm_set1_epi8(char(0xE8));
    uint64_t bits = 0;
    for (int k = 0; k < 4; ++k) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16 * k));
        bits |= uint64_t(uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(v, e8)))) << (16 * k);
    }
    return bits;
}
#endif

void LzxDecoder::ReverseE8(uint8_t *frame, size_t size, uint64_t frame_start) const {
    if (!e8_enabled_ || frame_start >= kE8StopPosition || size <= 10)
        return;
    const size_t limit = size - 10;
    size_t i = 0;  // calls start here or later: the 4 bytes after a call are its operand
#if defined(__SSE2__)
    // In code every few hundred bytes is an E8, too often for a search call each. A block's bits
    // are found before its calls are undone: undoing one changes only the four bytes after it,
    // which are skipped.
    size_t base = 0;
    for (; base + 64 <= size && base < limit; base += 64) {
        uint64_t bits = E8Bits(frame + base) & (~uint64_t(0) << (std::max(i, base) - base));
        if (limit - base < 64)
            bits &= (uint64_t(1) << (limit - base)) - 1;
        while (bits != 0) {
            const size_t at = base + size_t(std::countr_zero(bits));
            ReverseCall(frame, at, frame_start);
            i = at + 5;
            bits = i - base < 64 ? bits & (~uint64_t(0) << (i - base)) : 0;
        }
    }
    i = std::max(i, base);
#endif
    while (i < limit) {
        const void *hit = std::memchr(frame + i, 0xE8, limit - i);
        if (hit == nullptr)
            break;
        i = size_t(static_cast<const uint8_t *>(hit) - frame);
        ReverseCall(frame, i, frame_start);
        i += 5;
    }
}

DecodeStatus LzxDecoder::DecodeFrame(const uint8_t *in, size_t in_size, uint8_t *out,
                                     size_t out_size) {
    // Only a folder's last frame may be short; nothing may follow it.
    if (finished_ || out_size == 0 || out_size > kFrameSize || in_size > kMaxInput) {
        return DecodeStatus::kBadData;
    }
    const uint64_t frame_start = pos_;
    const uint64_t frame_end = pos_ + out_size;
    BitReader br;
    size_t cursor = 0;
    bool byte_mode = block_type_ == kUncompressed && block_remaining_ > 0;
    br.Start(in, in_size, 0, stream_);
    if (!header_read_) {
        br.Refill();
        e8_enabled_ = br.Take(1) != 0;
        if (e8_enabled_) {
            uint32_t high = br.Take(16);
            e8_size_ = high << 16 | br.Take(16);
        }
        header_read_ = true;
    }
    while (pos_ < frame_end) {
        if (block_remaining_ == 0 && !ReadBlockHeader(br, in, in_size, &cursor, &byte_mode)) {
            return DecodeStatus::kBadData;
        }
        uint32_t chunk = uint32_t(std::min<uint64_t>(block_remaining_, frame_end - pos_));
        if (byte_mode) {
            if (cursor + chunk > in_size)
                return DecodeStatus::kBadData;
            std::memcpy(window_ + (pos_ & window_mask_), in + cursor, chunk);
            cursor += chunk;
            pos_ += chunk;
            block_remaining_ -= chunk;
            if (block_remaining_ == 0) {
                if (((stream_offset_ + cursor) & 1) != 0 && cursor < in_size)
                    ++cursor;
                byte_mode = false;
                br.Start(in, in_size, cursor, stream_);
            }
            continue;
        }
        uint64_t start = pos_;
        if (!DecodeTokens(br, start + chunk))
            return DecodeStatus::kBadData;
        block_remaining_ -= chunk;
    }
    size_t consumed = byte_mode ? cursor : br.Consumed();
    if (consumed > in_size)
        return DecodeStatus::kBadData;
    if (out_size < kFrameSize) {
        // The folder ends here; a block promising more output is corrupt.
        if (block_remaining_ != 0)
            return DecodeStatus::kBadData;
        finished_ = true;
    }
    stream_offset_ += in_size;
    std::memcpy(out, window_ + (frame_start & window_mask_), out_size);
    ReverseE8(out, out_size, frame_start);
    return DecodeStatus::kOk;
}

}  // namespace

DecoderPtr NewLzxDecoder(int window_bits, bool *supported, const CallerAllocator &allocator) {
    *supported = window_bits >= 15 && window_bits <= 21;
    if (!*supported)
        return nullptr;
    auto decoder = MakeCaller<LzxDecoder>(allocator, window_bits);
    if (!decoder || !decoder->Allocate(allocator))
        return nullptr;
    decoder->Reset();
    return decoder;
}

}  // namespace cab

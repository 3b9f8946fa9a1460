// The LZX encoder's back end: turns the parsed items of whole frames into LZX blocks and frame
// payloads. Chooses where blocks end, builds their Huffman codes (delta-coded against the previous
// block's, as the format sends them) and writes each block verbatim, with aligned offsets or
// uncompressed, whichever costs fewest bits.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cabinet/codec/lzx_common.h"
#include "cabinet/codec/lzx_encoder.h"
#include "cabinet/format/cab_format.h"

namespace cab::lzx {

// A literal (length 0, the byte in `code`) or a match (`length` 2 .. 257, `code` the formatted
// offset: 0 .. 2 for R0 .. R2, the offset + 2 otherwise).
struct Item {
    uint32_t code;
    uint32_t length;
};

// Position slot of a formatted offset (>= 3; 0 .. 2 are their own slots).
inline int SlotOf(uint32_t formatted) {
    if (formatted < 4)
        return int(formatted);
    if (formatted >= (1u << 18))
        return 34 + int(formatted >> 17);
    int high = 31 - __builtin_clz(formatted);
    return 2 * high + int((formatted >> (high - 1)) & 1);
}

inline int MainSymbol(const Item &item) {
    if (item.length == 0)
        return int(item.code);
    uint32_t header = item.length - kMinMatch < uint32_t(kNumPrimaryLengths)
                          ? item.length - kMinMatch
                          : uint32_t(kNumPrimaryLengths);
    return kNumChars + SlotOf(item.code) * 8 + int(header);
}

// One frame of the segment being coded.
struct FrameItems {
    uint32_t first_item;
    uint32_t end_item;
    uint32_t size;        // 32768, or less for the folder's last frame
    uint32_t r[3];        // repeated offsets after the frame's items
    const uint8_t *data;  // the frame's bytes as the decoder's window holds them
};

// Bit costs the parse estimates with: the lengths of the last compressed block's codes.
struct CostModel {
    uint8_t main[kMaxMainElements];
    uint8_t length[kLengthElements];
    void SetDefaults();
};

inline constexpr int kSegmentFrames = 8;

// Symbol counts of a frame or a block.
struct BlockStats {
    uint32_t main[kMaxMainElements];
    uint32_t length[kLengthElements];
    uint32_t aligned[kAlignedElements];
    uint64_t footer_bits;      // as a verbatim block sends them
    uint32_t aligned_footers;  // footers of 3 bits or more
    uint32_t bytes;

    void Clear();
    void Add(const BlockStats &other);
    // Bits the items would take with ideal codes built for them.
    double Estimate(int main_elements) const;
};

// Working space of the length-limited code builder (package-merge).
struct HuffmanScratch {
    int sorted[kMaxMainElements];
    uint64_t leaf[kMaxMainElements];
    uint64_t weight[2][2 * kMaxMainElements];
    bool package[kMaxCodeLength][2 * kMaxMainElements];
};

// One tree part sent with its own pretree (lzx-format.md §6.3, §6.4).
struct TreePart {
    static constexpr int kMaxElements = kMaxMainElements - kNumChars;
    int count;
    uint8_t sym[kMaxElements];
    uint8_t extra[kMaxElements];  // run length bits of 17, 18 and 19
    uint8_t value[kMaxElements];  // the delta symbol after a 19
    uint8_t pre_len[kPretreeElements];
    uint16_t pre_code[kPretreeElements];
    uint32_t bits;  // pretree and symbols

    // Codes cur[0 .. n) against prev[0 .. n).
    void Build(const uint8_t *prev, const uint8_t *cur, int n, HuffmanScratch *scratch);
};

// The codes and type chosen for a block.
struct BlockPlan {
    int type;
    uint64_t tree_bits;  // block header and trees
    uint8_t main_len[kMaxMainElements];
    uint16_t main_code[kMaxMainElements];
    uint8_t length_len[kLengthElements];
    uint16_t length_code[kLengthElements];
    uint8_t aligned_len[kAlignedElements];
    uint16_t aligned_code[kAlignedElements];
    TreePart parts[3];
};

class BlockCoder {
public:
    void Init(int window_bits, bool e8, uint32_t e8_size);
    // Folder start: previous code lengths zero, stream header still to write.
    void Reset();
    // Before the folder's first frame: whether its header says x86 calls are translated.
    void SetE8(bool e8) { e8_ = e8; }
    // Codes whole frames (the folder's last one may be short) and hands each payload to `sink`.
    // Updates `model` from the codes written. False when the sink refused a frame.
    bool EncodeFrames(const Item *items, const FrameItems *frames, int count, LzxFrameSink &sink,
                      CostModel *model);

private:
    void Gather(const Item *items, const FrameItems &frame, BlockStats *stats) const;
    uint64_t ItemBits(const BlockStats &stats, const BlockPlan &plan) const;
    bool PlanBlock(const BlockStats &stats, const BlockStats *frame_stats, int count,
                   BlockPlan *plan);
    bool EmitBlock(const Item *items, const FrameItems *frames, int count, const BlockPlan &plan,
                   LzxFrameSink &sink);
    void UpdateModel(const BlockPlan &plan, CostModel *model) const;

    int main_elements_ = 0;
    bool e8_ = false;
    uint32_t e8_size_ = 0;
    bool header_written_ = false;
    uint8_t prev_main_[kMaxMainElements] = {};
    uint8_t prev_length_[kLengthElements] = {};
    // Working space, kept here so that coding allocates nothing.
    uint8_t out_[kMaxLzxBlock];
    BlockStats frame_stats_[kSegmentFrames];
    BlockStats block_stats_;
    BlockStats merged_stats_;
    BlockPlan plan_;
    HuffmanScratch scratch_;
};

}  // namespace cab::lzx

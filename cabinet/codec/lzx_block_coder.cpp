#include "cabinet/codec/lzx_block_coder.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace cab::lzx {

namespace {

// Frames are written one at a time into a buffer of the largest payload; a write past it would be
// a fault of the size checks, so it is caught and the frame refused rather than overrun.
class BitOut {
public:
    void Start(uint8_t *out, size_t capacity) {
        out_ = out;
        capacity_ = capacity;
        pos_ = 0;
        acc_ = 0;
        count_ = 0;
        overflow_ = false;
    }
    // n <= 32
    void Put(uint32_t value, int n) {
        acc_ = (acc_ << n) | value;
        count_ += n;
        while (count_ >= 16) {
            count_ -= 16;
            Word(uint16_t(acc_ >> count_));
        }
    }
    void Align() {
        if (count_ != 0)
            Put(0, 16 - count_);
    }
    // Padding before an uncompressed block's bytes: a whole word when already aligned.
    void PadForBytes() { Put(0, 16 - count_); }
    void Bytes(const uint8_t *data, size_t size) {
        if (pos_ + size > capacity_) {
            overflow_ = true;
            return;
        }
        memcpy(out_ + pos_, data, size);
        pos_ += size;
    }
    void Le32(uint32_t v) {
        uint8_t b[4];
        StoreLe32(b, v);
        Bytes(b, 4);
    }
    size_t Size() const { return pos_; }
    bool Overflow() const { return overflow_; }

private:
    void Word(uint16_t w) {
        if (pos_ + 2 > capacity_) {
            overflow_ = true;
            return;
        }
        out_[pos_] = uint8_t(w);
        out_[pos_ + 1] = uint8_t(w >> 8);
        pos_ += 2;
    }
    uint8_t *out_ = nullptr;
    size_t capacity_ = 0;
    size_t pos_ = 0;
    uint64_t acc_ = 0;
    int count_ = 0;
    bool overflow_ = false;
};

// Length-limited Huffman code lengths by package-merge. Unused symbols get 0. A lone used symbol
// is paired with another so that the code is complete, as the format asks.
void BuildLengths(const uint32_t *freq, int n, int max_len, uint8_t *lengths, HuffmanScratch *h) {
    int *sorted = h->sorted;
    int m = 0;
    for (int s = 0; s < n; ++s) {
        lengths[s] = 0;
        if (freq[s] != 0)
            sorted[m++] = s;
    }
    if (m == 0)
        return;
    if (m == 1) {
        lengths[sorted[0]] = 1;
        lengths[sorted[0] == 0 ? 1 : 0] = 1;
        return;
    }
    std::sort(sorted, sorted + m,
              [freq](int a, int b) { return freq[a] != freq[b] ? freq[a] < freq[b] : a < b; });
    uint64_t *leaf = h->leaf;
    for (int i = 0; i < m; ++i)
        leaf[i] = freq[sorted[i]];
    // Per level, which entries of the merged list are packages; a list never exceeds 2m entries.
    int size[kMaxCodeLength];
    std::copy(leaf, leaf + m, h->weight[0]);
    std::fill(h->package[0], h->package[0] + m, false);
    size[0] = m;
    for (int level = 1; level < max_len; ++level) {
        const uint64_t *prev = h->weight[(level - 1) & 1];
        uint64_t *cur = h->weight[level & 1];
        bool *package = h->package[level];
        const int packages = size[level - 1] / 2;
        int a = 0, b = 0, k = 0;
        while (a < m || b < packages) {
            uint64_t pw = b < packages ? prev[2 * b] + prev[2 * b + 1] : UINT64_MAX;
            if (a < m && leaf[a] <= pw) {
                cur[k] = leaf[a++];
                package[k++] = false;
            } else {
                cur[k] = pw;
                ++b;
                package[k++] = true;
            }
        }
        size[level] = k;
    }
    int take = 2 * m - 2;
    for (int level = max_len - 1; level >= 0; --level) {
        int leaves = 0, packages = 0;
        for (int i = 0; i < take; ++i)
            h->package[level][i] ? ++packages : ++leaves;
        for (int i = 0; i < leaves; ++i)
            ++lengths[sorted[i]];
        take = 2 * packages;
    }
}

// Canonical codes (deflate's construction) for the given lengths.
void BuildCodes(const uint8_t *lengths, int n, uint16_t *codes) {
    uint16_t count[kMaxCodeLength + 1] = {};
    for (int s = 0; s < n; ++s)
        ++count[lengths[s]];
    count[0] = 0;
    uint16_t next[kMaxCodeLength + 1];
    uint32_t code = 0;
    for (int len = 1; len <= kMaxCodeLength; ++len) {
        code = (code + count[len - 1]) << 1;
        next[len] = uint16_t(code);
    }
    for (int s = 0; s < n; ++s) {
        if (lengths[s] != 0)
            codes[s] = next[lengths[s]]++;
    }
}

double EntropyBits(const uint32_t *freq, int n) {
    uint64_t total = 0;
    for (int s = 0; s < n; ++s)
        total += freq[s];
    if (total == 0)
        return 0;
    double bits = 0;
    const double log_total = std::log2(double(total));
    for (int s = 0; s < n; ++s) {
        if (freq[s] != 0)
            bits += freq[s] * (log_total - std::log2(double(freq[s])));
    }
    return bits;
}

// What the parse assumes for symbols the last block did not use.
constexpr uint8_t kUnusedMainCost = 14;
constexpr uint8_t kUnusedLengthCost = 12;

constexpr uint8_t kRunExtraBits[kPretreeElements] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                     0, 0, 0, 0, 0, 0, 0, 4, 5, 1};

constexpr uint32_t kUncompressedFixedBits = 3 + 24 + 16 + 96;
// Rough cost of sending a block's trees, for deciding where blocks end.
constexpr double kTreeGuessBits = 3 * 4 * kPretreeElements + 2000;

void WritePart(const TreePart &part, BitOut &out) {
    for (int k = 0; k < kPretreeElements; ++k)
        out.Put(part.pre_len[k], 4);
    for (int k = 0; k < part.count; ++k) {
        const int s = part.sym[k];
        out.Put(part.pre_code[s], part.pre_len[s]);
        if (s == 19) {
            out.Put(part.extra[k], 1);
            out.Put(part.pre_code[part.value[k]], part.pre_len[part.value[k]]);
        } else if (s >= 17) {
            out.Put(part.extra[k], kRunExtraBits[s]);
        }
    }
}

}  // namespace

void CostModel::SetDefaults() {
    std::fill(main, main + kNumChars, 8);
    std::fill(main + kNumChars, main + kMaxMainElements, 10);
    std::fill(length, length + kLengthElements, 7);
}

void BlockStats::Clear() {
    memset(this, 0, sizeof *this);
}

void BlockStats::Add(const BlockStats &o) {
    for (int s = 0; s < kMaxMainElements; ++s)
        main[s] += o.main[s];
    for (int s = 0; s < kLengthElements; ++s)
        length[s] += o.length[s];
    for (int s = 0; s < kAlignedElements; ++s)
        aligned[s] += o.aligned[s];
    footer_bits += o.footer_bits;
    aligned_footers += o.aligned_footers;
    bytes += o.bytes;
}

double BlockStats::Estimate(int main_elements) const {
    return EntropyBits(main, main_elements) + EntropyBits(length, kLengthElements) +
           double(footer_bits);
}

void TreePart::Build(const uint8_t *prev, const uint8_t *cur, int n, HuffmanScratch *scratch) {
    count = 0;
    uint32_t freq[kPretreeElements] = {};
    auto add = [&](int s, int e, int v) {
        sym[count] = uint8_t(s);
        extra[count] = uint8_t(e);
        value[count] = uint8_t(v);
        ++count;
        ++freq[s];
    };
    auto delta = [&](int i) { return (prev[i] + 17 - cur[i]) % 17; };
    int i = 0;
    while (i < n) {
        int zeros = 0;
        while (i + zeros < n && cur[i + zeros] == 0)
            ++zeros;
        if (zeros >= 20) {
            int run = std::min(zeros, 51);
            add(18, run - 20, 0);
            i += run;
            continue;
        }
        if (zeros >= 4) {
            add(17, zeros - 4, 0);
            i += zeros;
            continue;
        }
        // A run of one value over equal previous lengths reads the same whichever element's
        // previous length a reader takes.
        int same = 1;
        while (same < 5 && i + same < n && cur[i + same] == cur[i] && prev[i + same] == prev[i])
            ++same;
        if (same >= 4) {
            add(19, same - 4, delta(i));
            ++freq[delta(i)];
            i += same;
            continue;
        }
        add(delta(i), 0, 0);
        ++i;
    }
    BuildLengths(freq, kPretreeElements, kMaxPretreeLength, pre_len, scratch);
    BuildCodes(pre_len, kPretreeElements, pre_code);
    bits = 4 * kPretreeElements;
    for (int k = 0; k < count; ++k) {
        bits += pre_len[sym[k]] + kRunExtraBits[sym[k]];
        if (sym[k] == 19)
            bits += pre_len[value[k]];
    }
}

void BlockCoder::Init(int window_bits, bool e8, uint32_t e8_size) {
    main_elements_ = kNumChars + 8 * SlotCount(window_bits);
    e8_ = e8;
    e8_size_ = e8_size;
    Reset();
}

void BlockCoder::Reset() {
    header_written_ = false;
    memset(prev_main_, 0, sizeof prev_main_);
    memset(prev_length_, 0, sizeof prev_length_);
}

void BlockCoder::Gather(const Item *items, const FrameItems &frame, BlockStats *stats) const {
    stats->Clear();
    stats->bytes = frame.size;
    for (uint32_t i = frame.first_item; i < frame.end_item; ++i) {
        const Item &item = items[i];
        ++stats->main[MainSymbol(item)];
        if (item.length == 0)
            continue;
        if (item.length - kMinMatch >= uint32_t(kNumPrimaryLengths))
            ++stats->length[item.length - kMinMatch - kNumPrimaryLengths];
        int slot = SlotOf(item.code);
        if (slot < 3)
            continue;
        int bits = kSlots.bits[slot];
        stats->footer_bits += uint32_t(bits);
        if (bits >= 3) {
            ++stats->aligned_footers;
            ++stats->aligned[(item.code - kSlots.base[slot]) & 7];
        }
    }
}

uint64_t BlockCoder::ItemBits(const BlockStats &stats, const BlockPlan &plan) const {
    uint64_t bits = 0;
    for (int s = 0; s < main_elements_; ++s)
        bits += uint64_t(stats.main[s]) * plan.main_len[s];
    for (int s = 0; s < kLengthElements; ++s)
        bits += uint64_t(stats.length[s]) * plan.length_len[s];
    bits += stats.footer_bits;
    if (plan.type == kAligned) {
        bits -= 3 * uint64_t(stats.aligned_footers);
        for (int s = 0; s < kAlignedElements; ++s)
            bits += uint64_t(stats.aligned[s]) * plan.aligned_len[s];
    }
    return bits;
}

// Builds the codes of a block of `count` frames and chooses its type. False when a frame would not
// fit its payload limit coded this way (only possible for a block of several frames).
bool BlockCoder::PlanBlock(const BlockStats &stats, const BlockStats *frame_stats, int count,
                           BlockPlan *plan) {
    BuildLengths(stats.main, main_elements_, kMaxCodeLength, plan->main_len, &scratch_);
    BuildLengths(stats.length, kLengthElements, kMaxCodeLength, plan->length_len, &scratch_);
    BuildLengths(stats.aligned, kAlignedElements, kMaxAlignedLength, plan->aligned_len, &scratch_);
    BuildCodes(plan->main_len, main_elements_, plan->main_code);
    BuildCodes(plan->length_len, kLengthElements, plan->length_code);
    BuildCodes(plan->aligned_len, kAlignedElements, plan->aligned_code);
    plan->parts[0].Build(prev_main_, plan->main_len, kNumChars, &scratch_);
    plan->parts[1].Build(prev_main_ + kNumChars, plan->main_len + kNumChars,
                         main_elements_ - kNumChars, &scratch_);
    plan->parts[2].Build(prev_length_, plan->length_len, kLengthElements, &scratch_);

    plan->tree_bits = 3 + 24 + plan->parts[0].bits + plan->parts[1].bits + plan->parts[2].bits;
    plan->type = kVerbatim;
    const uint64_t verbatim = plan->tree_bits + ItemBits(stats, *plan);
    plan->type = kAligned;
    const uint64_t aligned = plan->tree_bits + 3 * kAlignedElements + ItemBits(stats, *plan);
    const uint64_t uncompressed = kUncompressedFixedBits + 8 * uint64_t(stats.bytes + 1);
    const bool use_aligned = stats.aligned_footers != 0 && aligned < verbatim;
    if (uncompressed <= (use_aligned ? aligned : verbatim)) {
        plan->type = kUncompressed;
        return true;
    }
    plan->type = use_aligned ? kAligned : kVerbatim;
    if (use_aligned)
        plan->tree_bits += 3 * kAlignedElements;

    // Each frame's share (the trees go with the first) must fit a payload.
    const uint64_t stream_header = header_written_ ? 0 : (e8_ ? 33 : 1);
    for (int f = 0; f < count; ++f) {
        uint64_t bits = ItemBits(frame_stats[f], *plan);
        if (f == 0)
            bits += stream_header + plan->tree_bits;
        if ((bits + 15) / 16 * 2 > kMaxLzxBlock) {
            if (count > 1)
                return false;
            plan->type = kUncompressed;
        }
    }
    return true;
}

namespace {

// A literal or a match with the block's codes.
inline void PutItem(const Item &item, const BlockPlan &plan, bool aligned, BitOut &out) {
    const int sym = MainSymbol(item);
    out.Put(plan.main_code[sym], plan.main_len[sym]);
    if (item.length == 0)
        return;
    if (item.length - kMinMatch >= uint32_t(kNumPrimaryLengths)) {
        const int ls = int(item.length) - kMinMatch - kNumPrimaryLengths;
        out.Put(plan.length_code[ls], plan.length_len[ls]);
    }
    const int slot = SlotOf(item.code);
    if (slot < 3)
        return;
    const int bits = kSlots.bits[slot];
    const uint32_t footer = item.code - kSlots.base[slot];
    if (aligned && bits >= 3) {
        out.Put(footer >> 3, bits - 3);
        out.Put(plan.aligned_code[footer & 7], plan.aligned_len[footer & 7]);
    } else {
        out.Put(footer, bits);
    }
}

// The rest of an uncompressed block after its header: the repeated offsets, then the frames'
// bytes as they are, a pad byte after an odd size; one payload per frame through `buf`.
bool PutStored(const FrameItems *frames, int count, uint32_t block_size, BitOut &out,
               uint8_t (&buf)[kMaxLzxBlock], LzxFrameSink &sink) {
    out.PadForBytes();
    const uint32_t *r = frames[count - 1].r;
    out.Le32(r[0]);
    out.Le32(r[1]);
    out.Le32(r[2]);
    for (int f = 0; f < count; ++f) {
        out.Bytes(frames[f].data, frames[f].size);
        if (f == count - 1 && (block_size & 1) != 0) {
            const uint8_t pad = 0;
            out.Bytes(&pad, 1);
        }
        if (out.Overflow() || !sink.TakeFrame(buf, uint32_t(out.Size()), frames[f].size))
            return false;
        out.Start(buf, sizeof buf);
    }
    return true;
}

}  // namespace

bool BlockCoder::EmitBlock(const Item *items, const FrameItems *frames, int count,
                           const BlockPlan &plan, LzxFrameSink &sink) {
    BitOut out;
    out.Start(out_, sizeof out_);
    if (!header_written_) {
        out.Put(e8_ ? 1 : 0, 1);
        if (e8_) {
            out.Put(e8_size_ >> 16, 16);
            out.Put(e8_size_ & 0xFFFF, 16);
        }
        header_written_ = true;
    }
    uint32_t block_size = 0;
    for (int f = 0; f < count; ++f)
        block_size += frames[f].size;
    out.Put(uint32_t(plan.type), 3);
    out.Put(block_size, 24);

    if (plan.type == kUncompressed)
        return PutStored(frames, count, block_size, out, out_, sink);

    if (plan.type == kAligned) {
        for (int s = 0; s < kAlignedElements; ++s)
            out.Put(plan.aligned_len[s], 3);
    }
    for (const TreePart &part : plan.parts)
        WritePart(part, out);
    memcpy(prev_main_, plan.main_len, size_t(main_elements_));
    memcpy(prev_length_, plan.length_len, kLengthElements);

    const bool aligned = plan.type == kAligned;
    for (int f = 0; f < count; ++f) {
        for (uint32_t i = frames[f].first_item; i < frames[f].end_item; ++i)
            PutItem(items[i], plan, aligned, out);
        out.Align();
        if (out.Overflow() || !sink.TakeFrame(out_, uint32_t(out.Size()), frames[f].size))
            return false;
        out.Start(out_, sizeof out_);
    }
    return true;
}

bool BlockCoder::EncodeFrames(const Item *items, const FrameItems *frames, int count,
                              LzxFrameSink &sink, CostModel *model) {
    for (int f = 0; f < count; ++f)
        Gather(items, frames[f], &frame_stats_[f]);
    int first = 0;
    while (first < count) {
        // Frames join the block while one set of codes for both costs less than a second block.
        BlockStats &block = block_stats_;
        block = frame_stats_[first];
        int end = first + 1;
        double block_bits = block.Estimate(main_elements_);
        while (end < count) {
            BlockStats &merged = merged_stats_;
            merged = block;
            merged.Add(frame_stats_[end]);
            double merged_bits = merged.Estimate(main_elements_);
            if (merged_bits >
                block_bits + frame_stats_[end].Estimate(main_elements_) + kTreeGuessBits)
                break;
            block = merged;
            block_bits = merged_bits;
            ++end;
        }
        BlockPlan &plan = plan_;
        if (!PlanBlock(block, frame_stats_ + first, end - first, &plan)) {
            // A frame too large for its payload: every frame gets codes of its own.
            for (int f = first; f < end; ++f) {
                PlanBlock(frame_stats_[f], frame_stats_ + f, 1, &plan);
                if (!EmitBlock(items, frames + f, 1, plan, sink))
                    return false;
                UpdateModel(plan, model);
            }
        } else {
            if (!EmitBlock(items, frames + first, end - first, plan, sink))
                return false;
            UpdateModel(plan, model);
        }
        first = end;
    }
    return true;
}

void BlockCoder::UpdateModel(const BlockPlan &plan, CostModel *model) const {
    if (plan.type == kUncompressed)
        return;
    for (int s = 0; s < main_elements_; ++s)
        model->main[s] = plan.main_len[s] != 0 ? plan.main_len[s] : kUnusedMainCost;
    for (int s = 0; s < kLengthElements; ++s)
        model->length[s] = plan.length_len[s] != 0 ? plan.length_len[s] : kUnusedLengthCost;
}

}  // namespace cab::lzx

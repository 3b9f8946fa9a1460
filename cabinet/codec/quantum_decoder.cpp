// Quantum decoder for cabinet folders (typeCompress method 2), written from lzx-format.md §13.
//
// An adaptive arithmetic coder over nine frequency models drives an LZ77 window. The coder restarts
// at every CFDATA block; models and window persist until Reset(). The coder itself cannot fail on
// any input, so what catches corrupt data is the offset check, the input bound and the frame size.
#include <algorithm>
#include <cstring>
#include <new>

#include "cabinet/codec/codec.h"

namespace cab {
namespace {

constexpr uint32_t kFrameSize = 32768;
constexpr int kMaxModelEntries = 64;
constexpr int kPositionSlots = 42;
constexpr int kLengthSlots = 27;
constexpr uint32_t kRescaleThreshold = 3800;
constexpr uint32_t kFrequencyStep = 8;
constexpr int kFirstReorder = 4;
constexpr int kLaterReorder = 50;
// Zero bits the coder may take past the end of a block: its 16-bit look-ahead (an allowance of
// our own; real blocks stay inside their bytes).
constexpr uint32_t kMaxOverrunBits = 16;

struct SlotTables {
    uint32_t position_base[kPositionSlots];
    uint8_t position_bits[kPositionSlots];
    uint16_t length_base[kLengthSlots];
    uint8_t length_bits[kLengthSlots];
    constexpr SlotTables() : position_base(), position_bits(), length_base(), length_bits() {
        uint32_t base = 0;
        for (int p = 0; p < kPositionSlots; ++p) {
            position_bits[p] = uint8_t(p < 4 ? 0 : (p - 2) / 2);
            position_base[p] = base;
            base += 1u << position_bits[p];
        }
        uint16_t lbase = 0;
        for (int s = 0; s < kLengthSlots; ++s) {
            length_bits[s] = uint8_t(s < 6 || s == 26 ? 0 : (s - 2) / 4);
            length_base[s] = lbase;
            lbase = uint16_t(lbase + (1u << length_bits[s]));
        }
    }
};
constexpr SlotTables kSlots;
static_assert(kSlots.length_base[26] == 254 && kSlots.position_base[41] == 1572864);

// An adaptive frequency model: cf[k] is the cumulative frequency of entries k .. n-1.
struct Model {
    int n = 0;
    int time_to_reorder = kFirstReorder;
    uint16_t sym[kMaxModelEntries];
    uint32_t cf[kMaxModelEntries + 1];

    void Init(int first_symbol, int entries) {
        n = entries;
        time_to_reorder = kFirstReorder;
        for (int k = 0; k < n; ++k) {
            sym[k] = uint16_t(first_symbol + k);
            cf[k] = uint32_t(n - k);
        }
        cf[n] = 0;
    }

    void Update(int k) {
        for (int i = 0; i <= k; ++i)
            cf[i] += kFrequencyStep;
        if (cf[0] <= kRescaleThreshold)
            return;
        if (--time_to_reorder == 0) {
            Reorder();
            time_to_reorder = kLaterReorder;
            return;
        }
        for (int i = n - 1; i >= 0; --i) {
            cf[i] /= 2;
            if (cf[i] <= cf[i + 1])
                cf[i] = cf[i + 1] + 1;
        }
    }

    void Reorder() {
        uint32_t f[kMaxModelEntries];
        for (int k = 0; k < n; ++k)
            f[k] = (cf[k] - cf[k + 1] + 1) / 2;
        for (int i = 0; i < n - 1; ++i) {
            for (int j = i + 1; j < n; ++j) {
                if (f[i] < f[j]) {
                    std::swap(f[i], f[j]);
                    std::swap(sym[i], sym[j]);
                }
            }
        }
        cf[n] = 0;
        for (int k = n - 1; k >= 0; --k)
            cf[k] = cf[k + 1] + f[k];
    }
};

// Arithmetic decoder over one block's bytes, most significant bit first; bits past the end read
// as zero and are counted.
class RangeDecoder {
public:
    void Start(const uint8_t *in, size_t size) {
        in_ = in;
        size_bits_ = uint64_t(size) * 8;
        bit_pos_ = 0;
        low_ = 0;
        high_ = 0xFFFF;
        code_ = ReadBits(16);
    }

    uint32_t ReadBits(int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i)
            v = (v << 1) | NextBit();
        return v;
    }

    bool Overrun() const { return bit_pos_ > size_bits_ + kMaxOverrunBits; }

    // Decodes one symbol and adapts the model; -1 if the coder state is impossible.
    int Decode(Model &m) {
        uint32_t range = high_ - low_ + 1;
        uint32_t total = m.cf[0];
        if (code_ < low_ || code_ > high_)
            return -1;
        uint32_t s = uint32_t((uint64_t(code_ - low_ + 1) * total - 1) / range);
        int k = 0;
        while (k < m.n - 1 && m.cf[k + 1] > s)
            ++k;
        high_ = low_ + uint32_t(uint64_t(m.cf[k]) * range / total) - 1;
        low_ = low_ + uint32_t(uint64_t(m.cf[k + 1]) * range / total);
        for (int shifts = 0;; ++shifts) {
            if (shifts > 16)
                return -1;
            if (((low_ ^ high_) & 0x8000) == 0) {
                // top bits agree: shift them out
            } else if ((low_ & 0x4000) != 0 && (high_ & 0x4000) == 0) {
                low_ &= 0x3FFF;
                high_ |= 0x4000;
                code_ ^= 0x4000;
            } else {
                break;
            }
            low_ = (low_ << 1) & 0xFFFF;
            high_ = ((high_ << 1) | 1) & 0xFFFF;
            code_ = ((code_ << 1) | NextBit()) & 0xFFFF;
        }
        int symbol = m.sym[k];
        m.Update(k);
        return symbol;
    }

private:
    uint32_t NextBit() {
        uint64_t at = bit_pos_++;
        if (at >= size_bits_)
            return 0;
        return (in_[at >> 3] >> (7 - (at & 7))) & 1;
    }

    const uint8_t *in_ = nullptr;
    uint64_t size_bits_ = 0;
    uint64_t bit_pos_ = 0;
    uint32_t low_ = 0, high_ = 0xFFFF, code_ = 0;
};

class QuantumDecoder final : public FrameDecoder {
public:
    explicit QuantumDecoder(int window_bits)
        : window_bits_(window_bits),
          window_size_(1u << window_bits),
          // At least one frame, so that a frame never wraps inside the buffer.
          buffer_size_(std::max<uint32_t>(window_size_, kFrameSize)),
          buffer_mask_(buffer_size_ - 1) {}

    bool Allocate(const CallerAllocator &allocator) {
        return window_.Allocate(allocator, buffer_size_);
    }

    void ResetState() override {
        pos_ = 0;
        finished_ = false;
        selector_.Init(0, 7);
        for (int i = 0; i < 4; ++i)
            literal_[i].Init(64 * i, 64);
        position4_.Init(0, std::min(24, 2 * window_bits_));
        position5_.Init(0, std::min(36, 2 * window_bits_));
        position6_.Init(0, 2 * window_bits_);
        length_.Init(0, kLengthSlots);
    }

private:
    DecodeStatus DecodeFrame(const uint8_t *in, size_t in_size, uint8_t *out,
                             size_t out_size) override;
    uint32_t DecodeMatch(RangeDecoder &rc, int selector, uint64_t pos, uint64_t frame_end);

    const int window_bits_;
    const uint32_t window_size_;
    const uint32_t buffer_size_;
    const uint32_t buffer_mask_;
    CallerMemory window_;
    uint64_t pos_ = 0;
    bool finished_ = false;
    Model selector_, literal_[4], position4_, position5_, position6_, length_;
};

// Decodes the match that selector 4, 5 or 6 begins and copies it to the window at `pos`, cut at
// `frame_end`; returns its length, or 0 when the stream is damaged.
uint32_t QuantumDecoder::DecodeMatch(RangeDecoder &rc, int selector, uint64_t pos,
                                     uint64_t frame_end) {
    uint32_t length;
    int slot;
    if (selector == 4) {
        length = 3;
        slot = rc.Decode(position4_);
    } else if (selector == 5) {
        length = 4;
        slot = rc.Decode(position5_);
    } else {
        int length_slot = rc.Decode(length_);
        if (length_slot < 0)
            return 0;
        length = kSlots.length_base[length_slot] + rc.ReadBits(kSlots.length_bits[length_slot]) + 5;
        slot = rc.Decode(position6_);
    }
    if (slot < 0)
        return 0;
    uint32_t offset = kSlots.position_base[slot] + rc.ReadBits(kSlots.position_bits[slot]) + 1;
    // Matches reaching before the folder's first byte are corrupt, not zero-filled.
    if (offset > window_size_ || offset > pos)
        return 0;
    // A match running past the frame end is cut there (the last frame of real data does).
    length = uint32_t(std::min<uint64_t>(length, frame_end - pos));
    uint8_t *const window = window_.data();
    uint32_t src = uint32_t((pos - offset) & buffer_mask_);
    uint32_t dst = uint32_t(pos & buffer_mask_);
    for (uint32_t i = 0; i < length; ++i) {
        window[dst + i] = window[src];
        src = (src + 1) & buffer_mask_;
    }
    return length;
}

DecodeStatus QuantumDecoder::DecodeFrame(const uint8_t *in, size_t in_size, uint8_t *out,
                                         size_t out_size) {
    if (finished_ || out_size == 0 || out_size > kFrameSize)
        return DecodeStatus::kBadData;
    uint8_t *const window = window_.data();
    const uint64_t frame_start = pos_;
    const uint64_t frame_end = pos_ + out_size;
    RangeDecoder rc;
    rc.Start(in, in_size);
    uint64_t pos = pos_;
    while (pos < frame_end) {
        int selector = rc.Decode(selector_);
        if (selector < 0)
            return DecodeStatus::kBadData;
        if (selector < 4) {
            int byte = rc.Decode(literal_[selector]);
            if (byte < 0)
                return DecodeStatus::kBadData;
            window[pos & buffer_mask_] = uint8_t(byte);
            ++pos;
        } else {
            uint32_t length = DecodeMatch(rc, selector, pos, frame_end);
            if (length == 0)
                return DecodeStatus::kBadData;
            pos += length;
        }
        if (rc.Overrun())
            return DecodeStatus::kBadData;
    }
    pos_ = pos;
    if (out_size < kFrameSize)
        finished_ = true;
    std::memcpy(out, window + (frame_start & buffer_mask_), out_size);
    return DecodeStatus::kOk;
}

}  // namespace

DecoderPtr NewQuantumDecoder(int, int window_bits, bool *supported,
                             const CallerAllocator &allocator) {
    *supported = window_bits >= 10 && window_bits <= 21;
    if (!*supported)
        return nullptr;
    auto decoder = MakeCaller<QuantumDecoder>(allocator, window_bits);
    if (!decoder || !decoder->Allocate(allocator))
        return nullptr;
    decoder->Reset();
    return decoder;
}

}  // namespace cab

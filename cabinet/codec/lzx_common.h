// LZX constants and tables shared by the decoder and the encoder (lzx-format.md §2, §8).
#pragma once

#include <cstdint>

namespace cab::lzx {

inline constexpr uint32_t kFrameSize = 32768;
inline constexpr int kNumChars = 256;
inline constexpr int kMaxSlots = 50;
inline constexpr int kMaxMainElements = kNumChars + 8 * kMaxSlots;
inline constexpr int kLengthElements = 249;
inline constexpr int kPretreeElements = 20;
inline constexpr int kAlignedElements = 8;
inline constexpr int kMinMatch = 2;
inline constexpr int kMaxMatch = 257;
inline constexpr int kNumPrimaryLengths = 7;
inline constexpr int kMaxCodeLength = 16;  // main and length trees
inline constexpr int kMaxPretreeLength = 15;
inline constexpr int kMaxAlignedLength = 7;
inline constexpr uint64_t kE8StopPosition = 0x40000000;  // no E8 translation past 1 GiB
inline constexpr int kMinWindowBits = 15;
inline constexpr int kMaxWindowBits = 21;

enum BlockType { kNoBlock = 0, kVerbatim = 1, kAligned = 2, kUncompressed = 3 };

struct SlotTables {
    uint32_t base[kMaxSlots];
    uint8_t bits[kMaxSlots];
    constexpr SlotTables() : base(), bits() {
        uint32_t b = 0;
        for (int p = 0; p < kMaxSlots; ++p) {
            bits[p] = uint8_t(p < 4 ? 0 : (p < 36 ? (p - 2) / 2 : 17));
            base[p] = b;
            b += 1u << bits[p];
        }
    }
};
inline constexpr SlotTables kSlots;

// Smallest slot count whose base reaches the window size (30 ... 50 for N = 15 ... 21).
constexpr int SlotCount(int window_bits) {
    uint32_t w = 1u << window_bits;
    for (int n = 0; n < kMaxSlots; ++n) {
        if (kSlots.base[n] >= w)
            return n;
    }
    return kMaxSlots;
}

}  // namespace cab::lzx

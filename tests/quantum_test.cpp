// Quantum decoder on noise at every window size. Corpus streams are checked end to end, and under
// damage, by the FDI suites.
#include <gtest/gtest.h>

#include "cabinet/codec/codec.h"

namespace cab::test {
namespace {

// Every window size, windows smaller than a frame included, on noise: frames of full size must
// end in kOk or kBadData without touching memory outside the buffers.
TEST(QuantumDecoder, NoiseAtEveryWindowSizeEndsCleanly) {
    uint64_t state = 88172645463325252ull;
    for (int bits = 10; bits <= 21; ++bits) {
        bool supported = false;
        auto decoder = NewQuantumDecoder(1, bits, &supported);
        ASSERT_TRUE(supported && decoder);
        for (int run = 0; run < 20; ++run) {
            decoder->Reset();
            for (int frame = 0; frame < 3; ++frame) {
                std::vector<uint8_t> in(size_t(run * 97 % 3000)), out(32768);
                for (auto &b : in) {
                    state ^= state << 13;
                    state ^= state >> 7;
                    state ^= state << 17;
                    b = uint8_t(state);
                }
                DecodeStatus s = decoder->DecodeBlock(in.data(), in.size(), out.data(), out.size());
                ASSERT_NE(s, DecodeStatus::kNoMemory);
                if (s == DecodeStatus::kBadData)
                    break;
            }
        }
    }
    bool supported = true;
    EXPECT_EQ(NewQuantumDecoder(1, 9, &supported), nullptr);
    EXPECT_FALSE(supported);
    EXPECT_EQ(NewQuantumDecoder(1, 22, &supported), nullptr);
}

}  // namespace
}  // namespace cab::test

#include <gtest/gtest.h>

#include "tests/lzx_test_util.h"

namespace cab::test {
namespace {

std::unique_ptr<BlockDecoder> QuantumOnly(uint16_t type_compress) {
    if ((type_compress & tcompMASK_TYPE) != tcompTYPE_QUANTUM)
        return nullptr;
    bool supported = false;
    auto decoder = NewQuantumDecoder(CompressionLevelFromTCOMP(type_compress),
                                     CompressionMemoryFromTCOMP(type_compress), &supported);
    EXPECT_TRUE(supported);
    return decoder;
}

// The two valid samples cover literals, selectors 4 and 6, rescaling, reordering and the clipped
// final match of a 16-frame folder.
TEST(QuantumCorpus, EveryListedFileMatchesExpectedDigest) {
    EXPECT_EQ(CheckCorpusMethod("Quantum", QuantumOnly, [](const std::string &) { return false; }),
              2);
}

TEST(QuantumCorpus, MatchBeforeFolderStartFails) {
    auto folders =
        FoldersOfMethod("libmspack/cabd/cve-2018-18584-qtm-max-size-block.cab", tcompTYPE_QUANTUM);
    ASSERT_EQ(folders.size(), 1u);
    auto decoder = QuantumOnly(folders[0].type_compress);
    EXPECT_EQ(DecodeFolder(*decoder, folders[0], [](uint64_t, const uint8_t *, size_t) {}),
              DecodeStatus::kBadData);
}

// Plain text labelled Quantum (level 0): garbage to the coder, which must stop within the frame.
TEST(QuantumCorpus, TextLabelledQuantumEndsCleanly) {
    auto folders =
        FoldersOfMethod("libmspack/cabd/cve-2014-9556-qtm-infinite-loop.cab", tcompTYPE_QUANTUM);
    ASSERT_EQ(folders.size(), 1u);
    auto decoder = QuantumOnly(folders[0].type_compress);
    DecodeStatus status =
        DecodeFolder(*decoder, folders[0], [](uint64_t, const uint8_t *, size_t) {});
    EXPECT_TRUE(status == DecodeStatus::kOk || status == DecodeStatus::kBadData);
}

TEST(QuantumCorpus, CorruptedStreamsFailCleanly) {
    CorruptionTally total =
        CorruptEachFolder({"libmspack/cabd/mszip_lzx_qtm.cab",
                           "libmspack/cabextract-bugs/cve-2010-2801-qtm-flush.cab"},
                          tcompTYPE_QUANTUM, QuantumOnly, 300);
    EXPECT_EQ(total.other, 0);
    EXPECT_GT(total.bad_data, 50);
}

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

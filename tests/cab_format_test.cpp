#include "cabinet/format/cab_format.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<uint8_t> Bytes(std::initializer_list<int> list) {
    std::vector<uint8_t> v;
    for (int b : list)
        v.push_back(uint8_t(b));
    return v;
}

// The tail of 1 to 3 bytes is packed in reverse; an off-by-one there breaks every odd block.
TEST(Checksum, MatchesReferenceVectors) {
    struct Case {
        std::vector<uint8_t> in;
        uint32_t want;
    } cases[] = {
        {Bytes({1}), 0x00000001},
        {Bytes({1, 2}), 0x00000102},
        {Bytes({1, 2, 3}), 0x00010203},
        {Bytes({1, 2, 3, 4}), 0x04030201},
        {Bytes({1, 2, 3, 4, 5}), 0x04030204},
        {Bytes({1, 2, 3, 4, 5, 6}), 0x04030707},
        {Bytes({1, 2, 3, 4, 5, 6, 7}), 0x04060406},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(cab::Checksum(c.in.data(), c.in.size(), 0), c.want) << c.in.size();
    }
    const uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(cab::DataBlockChecksum(abc, 3, 3), 0x00626260u);
}

// The wide inner loop must agree with word-by-word folding at every length and alignment.
TEST(Checksum, WideLoopAgreesWithWordLoop) {
    std::vector<uint8_t> buf(100);
    for (size_t i = 0; i < buf.size(); ++i)
        buf[i] = uint8_t(i * 37 + 11);
    for (size_t off = 0; off < 4; ++off) {
        for (size_t n = 0; n + off <= buf.size(); ++n) {
            uint32_t acc = 0;
            size_t w = 0;
            for (; w + 4 <= n; w += 4)
                acc ^= cab::LoadLe32(&buf[off + w]);
            for (size_t k = w; k < n; ++k)
                acc ^= uint32_t(buf[off + k]) << (8 * (n - 1 - k));
            EXPECT_EQ(cab::Checksum(&buf[off], n, 0), acc) << off << " " << n;
        }
    }
}

}  // namespace

#include "cabinet/format/cab_format.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// Words fold little-endian and a tail of 1 to 3 bytes is packed in reverse (an off-by-one there
// breaks every odd block); the wide inner loop agrees with word-by-word folding at every length
// and alignment.
TEST(Checksum, FoldsWordsAndTheTailInReverse) {
    const uint8_t v[] = {1, 2, 3, 4, 5, 6, 7}, abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(cab::Checksum(v, 3, 0), 0x00010203u);
    EXPECT_EQ(cab::Checksum(v, 6, 0), 0x04030707u);
    EXPECT_EQ(cab::Checksum(v, 7, 0), 0x04060406u);
    EXPECT_EQ(cab::DataBlockChecksum(abc, 3, 3), 0x00626260u);
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

// Unit tests of the cabinet writer: layouts read back by an independent parser in the test
// helper, callbacks and their order, limits, and failures that must leave nothing behind.
#include "cabinet/fci.h"

#include <gtest/gtest.h>

#include "cabinet/cab_format.h"
#include "cabinet/fci_block_queue.h"
#include "cabinet/mszip_encoder.h"
#include "fci_test_util.h"

namespace cab::testing {
namespace {

std::vector<fs::path> SetPaths(const FciHarness &h) {
    // Names are test.cab, then test1.cab, test2.cab, ... in set order.
    std::vector<fs::path> paths{h.Cabinet()};
    for (int i = 1; fs::exists(h.Cabinet("test" + std::to_string(i) + ".cab")); ++i) {
        paths.push_back(h.Cabinet("test" + std::to_string(i) + ".cab"));
    }
    return paths;
}

std::map<std::string, std::string> ReadBack(const FciHarness &h, std::string *error) {
    auto set = ParseSet(SetPaths(h));
    for (auto &c : set) {
        if (!c.ok) {
            *error = "parse: " + c.error;
            return {};
        }
    }
    return ExtractSet(set, error);
}

TEST(FciWriter, StoresFilesInOneMszipFolder) {
    FciHarness h("basic");
    std::map<std::string, std::string> want{{"a.txt", CompressibleBytes(100000, 1)},
                                            {"dir\\b.bin", RandomBytes(40000, 2)},
                                            {"empty", ""}};
    ASSERT_TRUE(h.Create());
    for (auto &[name, bytes] : want) {
        ASSERT_TRUE(h.Add(h.AddSource(std::to_string(name.size()), bytes), name)) << name;
    }
    ASSERT_TRUE(h.Flush());
    ASSERT_TRUE(h.Destroy());
    EXPECT_EQ(h.TempFilesLeft(), 0u);
    auto cab = ParseCabinet(ReadFileBytes(h.Cabinet()));
    ASSERT_TRUE(cab.ok) << cab.error;
    EXPECT_EQ(cab.header.cFolders, 1);
    EXPECT_EQ(cab.header.cFiles, 3);
    EXPECT_EQ(cab.header.setID, 4242);
    EXPECT_EQ(cab.header.flags, 0);
    EXPECT_EQ(cab.folders[0].rec.typeCompress, tcompTYPE_MSZIP);
    // 140000 bytes: four full blocks and one of 9 KiB-ish.
    ASSERT_EQ(cab.folders[0].blocks.size(), 5u);
    EXPECT_EQ(cab.folders[0].blocks[4].cbUncomp, 140000 - 4 * 32768);
    EXPECT_EQ(cab.files[0].date, ((2024 - 1980) << 9) | (5 << 5) | 17);
    EXPECT_EQ(cab.files[0].attribs, _A_ARCH);
    std::string error;
    EXPECT_EQ(ReadBack(h, &error), want);
    EXPECT_EQ(error, "");
}

}  // namespace
}  // namespace cab::testing

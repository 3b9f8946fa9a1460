// Cabinets written by the engine, read by the cabinet tools Debian packages: cabextract must test
// them clean and 7-Zip, bsdtar, gcab and cabextract must extract every file byte for byte.

#include "tests/support/cabinet.h"

namespace cab::test {
namespace {

using Tree = std::map<std::string, std::string>;

Tree MixedFiles() {
    return {{"empty.txt", ""},
            {"text\\notes.txt", CompressibleBytes(200000, 3)},
            {"noise.bin", RandomBytes(100000, 4)},  // incompressible: stored blocks
            {"exact32k", CompressibleBytes(32768, 5)},
            {"exact32k+1", RandomBytes(32769, 6)},
            {"calls.exe", CallHeavyCode(90000, 9)},
            {"caf\xc3\xa9\\na\xc3\xafve \xe2\x82\xac.txt", "utf-8 name\n"}};
}

// Stored, MSZIP at every level and LZX (which gcab cannot read), one cabinet each; thousands of
// small files; the largest reserve areas; spanning sets (which bsdtar and gcab do not follow);
// and a cabinet without files.
TEST(FciInterop, PeersReadEveryKindOfCabinet) {
    if (ShellStatus("command -v cabextract") != 0)
        GTEST_SKIP() << "cabextract not installed";
    constexpr TCOMP kLzx = TCOMPfromLZXWindow(21);
    struct Case {
        std::string what;
        Tree files;
        TCOMP type = tcompTYPE_MSZIP;
        ULONG cb = 0x7FFFFFFF;
        UINT reserve = 0;
        std::set<std::string> excused;
    };
    std::vector<Case> cases = {{"stored", MixedFiles(), tcompTYPE_NONE},
                               {"lzx", MixedFiles(), kLzx, 0x7FFFFFFF, 0, {"gcab"}}};
    for (int level = tcompMSZIP_LEVEL_LO; level <= tcompMSZIP_LEVEL_HI; ++level)
        cases.push_back({"mszip", MixedFiles(), TCOMP(TCOMPfromMSZIPLevel(level))});
    Tree many,
        set{{"large.txt", CompressibleBytes(400000, 11)}, {"random", RandomBytes(90000, 12)}};
    for (int i = 0; i < 3000; ++i) {
        many["d" + std::to_string(i % 17) + "\\f" + std::to_string(i)] =
            CompressibleBytes(size_t(i % 700), uint32_t(i));
    }
    cases.push_back({"many", many});
    cases.push_back(
        {"reserve", {{"one", CompressibleBytes(100000, 1)}}, tcompTYPE_MSZIP, 0x7FFFFFFF, 255});
    cases.push_back({"set", set, tcompTYPE_MSZIP, 15000, 8, {"bsdtar", "gcab"}});
    cases.push_back({"lzx set", set, kLzx, 6000, 8, {"bsdtar", "gcab"}});
    cases.push_back({"empty", {}});
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what + " " + std::to_string(c.type));
        FciHarness h("interop");
        h.ccab.cb = c.cb;
        h.ccab.cbReserveCFHeader = c.reserve == 255 ? 6144 : 0;
        h.ccab.cbReserveCFFolder = c.reserve == 255 ? 255 : 0;
        h.ccab.cbReserveCFData = c.reserve;
        h.WriteAll(c.files, c.type);
        EXPECT_EQ(h.CabinetNames().size() >= 10, c.cb < 0x7FFFFFFF);
        ExpectPeersRead(h.Cabinet(), c.files, h.dir.path(), c.excused);
    }
}

}  // namespace
}  // namespace cab::test

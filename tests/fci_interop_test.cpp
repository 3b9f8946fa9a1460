// Cabinets written by the engine, read by the cabinet tools Debian packages: cabextract must test
// them clean and 7-Zip, bsdtar and gcab must extract every file byte for byte.
#include <gtest/gtest.h>

#include <cstdlib>

#include "cab_test_util.h"
#include "cabinet/fdi.h"

namespace cab::test {
namespace {

using Tree = std::map<std::string, std::string>;

bool HaveTool(const std::string &tool) {
    return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

std::string SevenZip() {
    return HaveTool("7zz") ? "7zz" : HaveTool("7z") ? "7z" : "";
}

int RunQuiet(const std::string &command) {
    int rc = std::system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

Tree ReadTree(const fs::path &root) {
    Tree tree;
    if (!fs::exists(root)) {
        return tree;
    }
    for (auto &e : fs::recursive_directory_iterator(root)) {
        if (e.is_regular_file()) {
            tree[fs::relative(e.path(), root).string()] = ReadFileBytes(e.path());
        }
    }
    return tree;
}

// The tree a tool should produce: cabinet names use '\\' between folders.
Tree OnDisk(const Tree &in_cabinet) {
    Tree tree;
    for (auto &[name, bytes] : in_cabinet) {
        std::string path = name;
        std::replace(path.begin(), path.end(), '\\', '/');
        tree[path] = bytes;
    }
    return tree;
}

std::string Quote(const fs::path &p) {
    return "'" + p.string() + "'";
}

struct Peer {
    std::string name;
    std::string command;  // {cab} and {out} are replaced
};

std::vector<Peer> Extractors() {
    std::vector<Peer> peers;
    if (std::string sz = SevenZip(); !sz.empty()) {
        peers.push_back({sz, sz + " x -y -o{out} {cab}"});
    }
    if (HaveTool("bsdtar")) {
        peers.push_back({"bsdtar", "mkdir -p {out} && bsdtar -xf {cab} -C {out}"});
    }
    if (HaveTool("gcab")) {
        peers.push_back({"gcab", "gcab -x -C {out} {cab}"});
    }
    if (HaveTool("cabextract")) {
        peers.push_back({"cabextract", "cabextract -q -d {out} {cab}"});
    }
    return peers;
}

std::string Fill(std::string command, const fs::path &cab, const fs::path &out) {
    auto put = [&](const std::string &key, const std::string &value) {
        size_t at = command.find(key);
        while (at != std::string::npos) {
            command.replace(at, key.size(), value);
            at = command.find(key, at + value.size());
        }
    };
    put("{cab}", Quote(cab));
    put("{out}", Quote(out));
    return command;
}

constexpr TCOMP kLzx = TCOMPfromLZXWindow(21);

// gcab reads no LZX.
std::set<std::string> Unreadable(TCOMP type) {
    return type == kLzx ? std::set<std::string>{"gcab"} : std::set<std::string>{};
}

Tree MixedFiles() {
    Tree files;
    files["empty.txt"] = "";
    files["also-empty"] = "";
    files["text\\notes.txt"] = CompressibleBytes(200000, 3);
    files["noise.bin"] = RandomBytes(100000, 4);  // incompressible: stored blocks
    files["exact32k"] = CompressibleBytes(32768, 5);
    files["exact32k+1"] = RandomBytes(32769, 6);
    files["calls.exe"] = CallHeavyCode(90000, 9);
    files["caf\xc3\xa9\\na\xc3\xafve \xe2\x82\xac.txt"] = "utf-8 name\n";
    files["\xe6\x97\xa5\xe6\x9c\xac.txt"] = CompressibleBytes(5000, 8);
    return files;
}

// Writes `files` into one cabinet (or a set, with a small cb) and returns the first cabinet.
fs::path WriteCabinet(FciHarness &h, const Tree &files, TCOMP type = tcompTYPE_MSZIP) {
    EXPECT_TRUE(h.Create());
    int n = 0;
    for (auto &[name, bytes] : files) {
        EXPECT_TRUE(h.Add(h.AddSource("f" + std::to_string(n++), bytes), name, type))
            << name << " erf " << h.erf.erfOper;
    }
    EXPECT_TRUE(h.Flush());
    EXPECT_TRUE(h.Destroy());
    EXPECT_EQ(h.TempFilesLeft(), 0u);
    return h.Cabinet();
}

void ExpectPeersRead(FciHarness &h, const fs::path &cab, const Tree &files,
                     const std::set<std::string> &excused = {}) {
    if (!HaveTool("cabextract")) {
        GTEST_SKIP() << "cabextract not installed";
    }
    EXPECT_EQ(RunQuiet("cabextract -q -t " + Quote(cab)), 0) << "cabextract -t";
    Tree want = OnDisk(files);
    for (const Peer &peer : Extractors()) {
        fs::path out = h.dir / ("x_" + peer.name);
        int rc = RunQuiet(Fill(peer.command, cab, out));
        if (excused.count(peer.name) != 0) {
            continue;
        }
        EXPECT_EQ(rc, 0) << peer.name;
        Tree got = ReadTree(out);
        EXPECT_EQ(got.size(), want.size()) << peer.name;
        EXPECT_TRUE(got == want) << peer.name << " extracted different contents";
    }
}

// Stored, MSZIP at every level, and LZX.
std::vector<TCOMP> Compressions() {
    std::vector<TCOMP> types{tcompTYPE_NONE, kLzx};
    for (int level = tcompMSZIP_LEVEL_LO; level <= tcompMSZIP_LEVEL_HI; ++level) {
        types.push_back(TCOMP(TCOMPfromMSZIPLevel(level)));
    }
    return types;
}

TEST(FciInterop, EngineReaderReadsBackSingleCabinetsAndSets) {
    Tree files;
    files["empty"] = "";
    files["exact32k"] = CompressibleBytes(32768, 1);
    files["exact32k+1"] = CompressibleBytes(32769, 2);
    files["noise"] = RandomBytes(80000, 3);
    files["dir\\text"] = CompressibleBytes(300000, 4);
    files["\xc3\xa9t\xc3\xa9"] = "utf";
    for (int i = 0; i < 50; ++i) {
        files["many\\" + std::to_string(i)] = CompressibleBytes(size_t(i) * 211, uint32_t(i));
    }
    for (ULONG cb : {ULONG(0x7FFFFFFF), ULONG(16000)}) {
        for (TCOMP type : Compressions()) {
            FciHarness h("fdi");
            h.ccab.cb = cb;
            h.ccab.cbReserveCFData = cb < 0x7FFFFFFF ? 12 : 0;
            fs::path first = WriteCabinet(h, files, type);
            std::string error;
            Tree got = FdiReadSet(first, &error);
            EXPECT_EQ(error, "") << cb << " " << type;
            EXPECT_TRUE(got == files) << cb << " " << type << ": " << got.size() << " files";
        }
    }
}

// Every level and LZX, so that each coder's streams are checked against every peer's decoder.
TEST(FciInterop, MixedFilesReadByEveryPeer) {
    for (TCOMP type : Compressions()) {
        FciHarness level_h("mixed" + std::to_string(type));
        ExpectPeersRead(level_h, WriteCabinet(level_h, MixedFiles(), type), MixedFiles(),
                        Unreadable(type));
    }
    FciHarness h("mixed");
    WriteCabinet(h, MixedFiles());
    auto cab = ParseCabinet(ReadFileBytes(h.Cabinet()));
    ASSERT_TRUE(cab.ok);
    for (auto &f : cab.files) {
        bool ascii = std::all_of(f.szName.begin(), f.szName.end(),
                                 [](char c) { return (unsigned char)c < 0x80; });
        EXPECT_EQ(bool(f.attribs & _A_NAME_IS_UTF), !ascii) << f.szName;
    }
}

TEST(FciInterop, ThousandsOfSmallFilesReadByEveryPeer) {
    FciHarness h("small");
    Tree files;
    for (int i = 0; i < 3000; ++i) {
        files["d" + std::to_string(i % 17) + "\\f" + std::to_string(i) + ".txt"] =
            CompressibleBytes(size_t(i % 700), uint32_t(i));
    }
    ExpectPeersRead(h, WriteCabinet(h, files), files);
}

TEST(FciInterop, EmptyCabinetReadByEveryPeer) {
    FciHarness h("empty");
    fs::path cab = WriteCabinet(h, {});
    EXPECT_EQ(fs::file_size(cab), CabHeader::kEncodedLength);
    // An archive without files is an error for some tools; none may find a file in it.
    for (const Peer &peer : Extractors()) {
        fs::path out = h.dir / ("x_" + peer.name);
        RunQuiet(Fill(peer.command, cab, out));
        EXPECT_TRUE(ReadTree(out).empty()) << peer.name;
    }
}

TEST(FciInterop, ReserveAreasReadByEveryPeer) {
    FciHarness h("reserve");
    h.ccab.cbReserveCFHeader = 6144;
    h.ccab.cbReserveCFFolder = 255;
    h.ccab.cbReserveCFData = 255;
    Tree files{{"one", CompressibleBytes(100000, 1)}, {"two", RandomBytes(40000, 2)}};
    ExpectPeersRead(h, WriteCabinet(h, files), files);
}

// Ten or more cabinets with a small cb. Which peers follow a set is recorded in `excused`.
TEST(FciInterop, SpanningSetReadByPeersThatFollowSets) {
    Tree files;
    files["large.txt"] = CompressibleBytes(400000, 11);
    files["random.bin"] = RandomBytes(90000, 12);
    for (int i = 0; i < 40; ++i) {
        files["many\\" + std::to_string(i)] = CompressibleBytes(size_t(i) * 300, uint32_t(i));
    }
    for (TCOMP type : {TCOMP(tcompTYPE_MSZIP), kLzx}) {
        FciHarness h("set");
        h.ccab.cb = type == kLzx ? 6000 : 15000;
        h.ccab.cbReserveCFData = 8;
        h.next_disk = "DISK";
        fs::path first = WriteCabinet(h, files, type);
        ASSERT_GE(h.CabinetNames().size(), 10u);
        // bsdtar answers "Multivolume cabinet file is unsupported"; gcab -x "Invalid folder
        // index".
        ExpectPeersRead(h, first, files, {"bsdtar", "gcab"});
    }
}

// cabextract cannot join a continued folder at a cabinet end that falls between two whole
// blocks; sweep cabinet sizes so that some end would fall there.
TEST(FciInterop, CabextractJoinsEverySetEnd) {
    if (!HaveTool("cabextract")) {
        GTEST_SKIP() << "cabextract not installed";
    }
    const std::string data = RandomBytes(150000, 21);
    for (ULONG cb = 65600; cb < 65640; cb += 3) {
        FciHarness h("sweep");
        h.ccab.cb = cb;
        fs::path first = WriteCabinet(h, {{"big", data}}, tcompTYPE_NONE);
        EXPECT_EQ(RunQuiet("cabextract -q -t " + Quote(first)), 0) << cb;
    }
}

}  // namespace
}  // namespace cab::test

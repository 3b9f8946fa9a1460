// Damaged input, made from every corpus cabinet and from crafted ones by a few mutators
// (truncation, bit flips, bit flips with the data checksums made right again): every run ends in
// success or an FDIERROR code, never a crash, a hang, a leak or a handle left open. Run under the
// sanitizers, this is where reads outside a buffer would show.
#include <gtest/gtest.h>

#include "tests/support/cabinet.h"

namespace {

using namespace cab::test;

constexpr uint32_t kLargestExtracted = 4 << 20;  // bigger files are skipped to keep runs short
// Large cabinets take long to decode and add little: they get fewer mutations.
constexpr size_t kLargeCabinet = 256 * 1024;
constexpr size_t kFlipsPerFile = 20, kFlipsPerLargeFile = 6;

struct Tally {
    size_t succeeded = 0;
    std::set<int> errors;
};

// Runs FDIIsCabinet and FDICopy over `files` (name -> bytes, first name first) and checks the
// outcome is clean whatever it is.
void RunOnce(const std::vector<std::pair<std::string, Bytes>> &files, Tally *tally,
             const std::string &what) {
    Fs().Reset();
    Fs().keep_output = false;
    for (const auto &[name, bytes] : files)
        Fs().files["c/" + name] = bytes;
    ERF erf = {};
    HFDI hfdi = CreateMemFdi(&erf);
    ASSERT_NE(hfdi, nullptr);

    std::string first = "c/" + files[0].first;
    INT_PTR hf = MemOpen(first.data(), _O_BINARY | _O_RDONLY, 0);
    FDICABINETINFO info;
    if (!FDIIsCabinet(hfdi, hf, &info)) {
        EXPECT_GT(erf.erfOper, FDIERROR_NONE) << what;
    }
    MemClose(hf);

    Recorder r;
    r.on_copy = [](const Event &e) { return uint32_t(e.cb) <= kLargestExtracted ? 1 : 0; };
    int next_calls = 0;
    r.on_next = [&](FDINOTIFICATION *) -> INT_PTR { return ++next_calls > 2 ? -1 : 0; };
    erf = {};
    BOOL ok = Copy(hfdi, files[0].first, "c/", &r);
    if (ok) {
        ++tally->succeeded;
    } else {
        EXPECT_TRUE(erf.fError) << what;
        EXPECT_GE(erf.erfOper, FDIERROR_CABINET_NOT_FOUND) << what;
        EXPECT_LE(erf.erfOper, FDIERROR_USER_ABORT) << what;
        tally->errors.insert(erf.erfOper);
    }
    // Whatever happened, every target FDI was handed is closed or finished.
    for (INT_PTR handle : r.open_outputs)
        EXPECT_EQ(Fs().Get(handle), nullptr) << what << ": a target left open";
    EXPECT_TRUE(FDIDestroy(hfdi));
    EXPECT_EQ(Fs().OpenHandles(), 0u) << what;
    EXPECT_EQ(Fs().live_allocs, 0) << what;
}

// Mutates `files[index]` in every way the suite knows and runs each result.
void Mutate(std::vector<std::pair<std::string, Bytes>> files, size_t index, Tally *tally,
            size_t spread_flips = 0) {
    const Bytes original = files[index].second;
    const std::string name = files[index].first;
    const size_t n = original.size();
    const bool large = n > kLargeCabinet;
    std::set<size_t> cuts = {0, 4, 36, 37, 44, n / 2};
    if (!large)
        cuts.insert({1, 35, 40, 60, n / 8, n / 4, 3 * n / 4});
    if (n > 0)
        cuts.insert(n - 1);
    if (n > 8)
        cuts.insert(n - 8);
    for (size_t cut : cuts) {
        if (cut >= n)
            continue;
        files[index].second = Cut(original, cut);
        RunOnce(files, tally, name + " cut at " + std::to_string(cut));
    }
    std::set<size_t> flips;
    for (size_t i = 0; i < 64 && i < n; i += 3)
        flips.insert(i);  // header fields
    const size_t spread = spread_flips ? spread_flips : large ? kFlipsPerLargeFile : kFlipsPerFile;
    for (size_t i = 0; i < spread && n > 0; ++i)
        flips.insert(i * n / spread + i % 7);
    size_t k = 0;
    for (size_t at : flips) {
        if (at >= n)
            continue;
        files[index].second = Flip(original, at, int(k++ % 8));
        RunOnce(files, tally, name + " flip at " + std::to_string(at));
        if (at >= 64 && (spread_flips || k % 2 == 0)) {
            FixChecksums(files[index].second);
            RunOnce(files, tally, name + " flip at " + std::to_string(at) + ", checksums fixed");
        }
    }
}

TEST(FdiCorruption, CorpusCabinetsSurviveTruncationAndBitFlips) {
    SKIP_WITHOUT_CORPUS();
    Tally tally;
    const std::vector<fs::path> cabinets = CorpusCabinets();
    EXPECT_GT(cabinets.size(), 200u);
    for (const fs::path &cab : cabinets)
        Mutate({{cab.filename().string(), ToBytes(ReadFile(cab))}}, 0, &tally);
    EXPECT_GE(tally.errors.size(), 4u) << "damage should reach several failure paths";
}

// LZX and Quantum streams of every block type and window size in the corpus, flipped in many more
// places with the checksums made right, so that the damage reaches the decoders' trees and tokens.
TEST(FdiCorruption, LzxAndQuantumStreamsSurviveDenseDamage) {
    SKIP_WITHOUT_CORPUS();
    Tally tally;
    for (const char *cab : {
             "sevenzipjbinding/simple/simple1.dat.1.cab",  // empty length tree
             "sevenzipjbinding/simple/simple2.dat.2.cab",  // aligned blocks, window 21
             "sevenzipjbinding/simple/simple5.dat.1.cab",  // uncompressed block
             "libarchive/test_read_format_cab_3.cab",      // aligned blocks, window 18
             "libarchive/test_read_format_cab_lzx_e8.cab",
             "file-type/fixture.cab",             // x86 code, E8 on, 10 frames
             "libmspack/cabd/mszip_lzx_qtm.cab",  // Quantum too
             "libmspack/cabextract-bugs/cve-2010-2801-qtm-flush.cab",
         }) {
        Mutate({{"x.cab", ToBytes(ReadFile(CorpusDir() / cab))}}, 0, &tally, 120);
    }
    EXPECT_GE(tally.errors.size(), 2u);
}

TEST(FdiCorruption, CraftedCabinetsAndSetsSurviveDamage) {
    Tally tally;
    RawCabinet two = TwoFolderCabinet();
    two.reserve = true;
    two.reserve_header = 20;
    two.reserve_folder = 3;
    two.reserve_data = 5;
    Mutate({{"two.cab", TwoFolderCabinet().Encode()}}, 0, &tally);
    Mutate({{"reserve.cab", two.Encode()}}, 0, &tally);
    SpanSet set;
    std::vector<std::pair<std::string, Bytes>> files;
    for (size_t i = 0; i < set.cabs.size(); ++i) {
        files.push_back({"set" + std::to_string(i + 1) + ".cab", set.cabs[i].Encode()});
    }
    // Damage in each member of the set, read from the first cabinet.
    for (size_t i = 0; i < files.size(); ++i)
        Mutate(files, i, &tally);
    EXPECT_GE(tally.errors.size(), 4u);
}

// Cabinets the engine's own writer makes: one with stored and MSZIP folders, and a spanning set
// whose folder runs over several cabinets. Each reads back first, then survives damage.
TEST(FdiCorruption, WriterCabinetsSurviveDamage) {
    FciHarness h("fdi_corruption");
    std::vector<std::pair<std::string, std::string>> inputs = {
        {"a.txt", CompressibleBytes(20000, 1)},
        {"b.bin", RandomBytes(9000, 2)},
        {"c.txt", CompressibleBytes(50000, 3)},
    };
    h.ccab.cb = 12000;
    ASSERT_TRUE(h.Create());
    ASSERT_TRUE(h.Add(h.AddSource("a.txt", inputs[0].second), "a.txt", tcompTYPE_NONE));
    ASSERT_TRUE(h.FlushFolder());
    for (size_t i = 1; i < inputs.size(); ++i) {
        ASSERT_TRUE(h.Add(h.AddSource(inputs[i].first, inputs[i].second), inputs[i].first));
    }
    ASSERT_TRUE(h.Flush());
    ASSERT_TRUE(h.Destroy());
    std::vector<std::string> names = h.CabinetNames();
    ASSERT_GE(names.size(), 3u);
    // The first cabinet keeps its own name; the writer names the next ones test1.cab, ...
    for (size_t i = 1; i < names.size(); ++i)
        names[i] = "test" + std::to_string(i) + ".cab";
    names[0] = "test.cab";
    std::vector<std::pair<std::string, Bytes>> files;
    for (const auto &n : names)
        files.push_back({n, ToBytes(ReadFile(h.Cabinet(n)))});

    // Undamaged, the set reads back whole.
    auto got = h.ReadBack();
    for (const auto &[n, bytes] : inputs)
        EXPECT_EQ(got[n], bytes) << n;

    Tally tally;
    for (size_t i = 0; i < files.size(); ++i)
        Mutate(files, i, &tally);
    EXPECT_GE(tally.errors.size(), 3u);
}

}  // namespace

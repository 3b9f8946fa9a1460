// Damaged input: every run ends in success or an FDIERROR code, never a crash, a hang, a leak or a
// handle left open. The reader's fuzz target is the run and its checks; it is fed the committed
// fuzz inputs and regressions, the corpus, and corpus and crafted cabinets damaged by a few
// mutators (truncation, bit flips, bit flips with the data checksums made right again). Run under
// the sanitizers, this is where reads outside a buffer would show.

#include "tests/support/cabinet.h"  // first: its FUZZ_CHECK fails the test

#include "fuzz/fdi_fuzzer.cpp"

namespace {

using namespace cab::test;
using Files = std::vector<std::pair<std::string, Bytes>>;

// Large cabinets take long to decode and add little: they get fewer mutations.
constexpr size_t kLargeCabinet = 256 * 1024;

// FDICopy from the first of `files` in the fuzz target's mode `params`, a lone cabinet served for
// every name as the target does: the files handed back whole, or -1 when it failed (its code then
// goes to `errors`).
int Replay(const Files &files, uint8_t params = 0, std::set<int> *errors = nullptr) {
    fuzz::g_files = {};
    fuzz::g_files.only = files.size() == 1 ? files[0].first : "";
    for (const auto &[name, bytes] : files)
        fuzz::g_files.files[name].assign(bytes.begin(), bytes.end());
    fdi_fuzz::Run(params, files[0].first);
    if (!fdi_fuzz::g_state.copied && errors)
        errors->insert(fdi_fuzz::g_state.erf.erfOper);
    return fdi_fuzz::g_state.copied ? fdi_fuzz::g_state.closed : -1;
}

// Runs `files` with `files[index]` damaged in every way the suite knows.
void Mutate(Files files, size_t index, std::set<int> *errors, size_t spread = 0) {
    const Bytes original = files[index].second;
    const size_t n = original.size();
    const bool large = n > kLargeCabinet;
    std::set<size_t> cuts = {0, 4, 36, 37, 44, n / 2, n - 1, n - 8};
    if (!large)
        cuts.insert({1, 35, 40, 60, n / 8, n / 4, 3 * n / 4});
    for (size_t cut : cuts) {
        if (cut >= n)
            continue;
        SCOPED_TRACE(files[index].first + " cut at " + std::to_string(cut));
        files[index].second.assign(original.begin(), original.begin() + long(cut));
        Replay(files, 0, errors);
    }
    std::set<size_t> flips;
    for (size_t i = 0; i < 64 && i < n; i += 3)
        flips.insert(i);  // header fields
    spread = spread ? spread : large ? 6 : 20;
    for (size_t i = 0; i < spread; ++i)
        flips.insert(i * n / spread + i % 7);
    size_t k = 0;
    for (size_t at : flips) {
        if (at >= n)
            continue;
        SCOPED_TRACE(files[index].first + " flip at " + std::to_string(at));
        files[index].second = original;
        files[index].second[at] ^= uint8_t(1 << (k++ % 8));
        Replay(files, 0, errors);
        if (at >= 64 && (spread > 20 || k % 2 == 0)) {
            SCOPED_TRACE("checksums fixed");
            FixChecksums(files[index].second);
            Replay(files, 0, errors);
        }
    }
}

Bytes Read(const fs::path &path) {
    return ToBytes(ReadFile(path));
}

TEST(FdiCorruption, CorpusCabinetsSurviveTruncationBitFlipsAndEveryMode) {
    SKIP_WITHOUT_CORPUS();
    std::set<int> errors;
    const std::vector<fs::path> cabinets = CorpusCabinets();
    EXPECT_GT(cabinets.size(), 200u);
    for (const fs::path &cab : cabinets) {
        SCOPED_TRACE(cab.string());
        Mutate({{cab.filename().string(), Read(cab)}}, 0, &errors);
        for (uint8_t params : {0x00, 0x03, 0x0C, 0x45, 0x8F})  // whole, in the target's modes
            Replay({{"fuzz.cab", Read(cab)}}, params);
    }
    EXPECT_GE(errors.size(), 4u) << "damage should reach several failure paths";
}

// LZX and Quantum streams of every block type and window size in the corpus, flipped in many more
// places with the checksums made right, so that the damage reaches the decoders' trees and tokens.
TEST(FdiCorruption, LzxAndQuantumStreamsSurviveDenseDamage) {
    SKIP_WITHOUT_CORPUS();
    std::set<int> errors;
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
        Mutate({{"x.cab", Read(CorpusDir() / cab)}}, 0, &errors, 120);
    }
    EXPECT_GE(errors.size(), 2u);
}

// Stored and MSZIP folders with and without reserve areas, and a set whose folder runs over three
// cabinets, damaged in each member and read from the first.
TEST(FdiCorruption, CraftedCabinetsAndSetsSurviveDamage) {
    std::set<int> errors;
    RawCabinet reserve = TwoFolderCabinet();
    reserve.reserve = true;
    reserve.reserve_header = 20;
    reserve.reserve_folder = 3;
    reserve.reserve_data = 5;
    Mutate({{"two.cab", TwoFolderCabinet().Encode()}}, 0, &errors);
    Mutate({{"reserve.cab", reserve.Encode()}}, 0, &errors);
    SpanSet set;
    Files files;
    for (size_t i = 0; i < set.cabs.size(); ++i)
        files.push_back({"set" + std::to_string(i + 1) + ".cab", set.cabs[i].Encode()});
    EXPECT_EQ(Replay(files), 2);
    for (size_t i = 0; i < files.size(); ++i)
        Mutate(files, i, &errors);
    EXPECT_GE(errors.size(), 4u);
}

// The committed starting inputs of the fuzz target are whole cabinets: every read size gives every
// file, skipping every other file gives the rest, and an abort fails the copy. The saved
// regressions end cleanly.
TEST(FdiCorruption, FuzzStartingInputsReadWholeInEveryMode) {
    size_t count = 0;
    for (const auto &e : fs::directory_iterator(fs::path(CABMGR_SOURCE_DIR) / "fuzz" / "inputs")) {
        SCOPED_TRACE(e.path().filename().string());
        const Files cabinet = {{"fuzz.cab", Read(e.path())}};
        int files = Replay(cabinet);
        EXPECT_GE(files, 3);
        for (uint8_t short_reads : {0x10, 0x30, 0x90})  // at most 2, 8 and 512 bytes a read
            EXPECT_EQ(Replay(cabinet, short_reads), files) << int(short_reads);
        EXPECT_EQ(Replay(cabinet, 0x01), (files + 1) / 2);
        EXPECT_EQ(Replay(cabinet, 0x08), -1);
        ++count;
    }
    EXPECT_GE(count, 3u);
    // Saved regressions carry their parameter byte.
    for (const auto &e :
         fs::directory_iterator(fs::path(CABMGR_SOURCE_DIR) / "fuzz" / "regressions")) {
        SCOPED_TRACE(e.path().filename().string());
        Bytes input = Read(e.path());
        Replay({{"fuzz.cab", Bytes(input.begin() + 1, input.end())}}, input[0]);
    }
}

}  // namespace

// Replays the reader's fuzz target without libFuzzer, so that the target and its checks (a handle
// left open or closed twice aborts) run in every build.
#include <gtest/gtest.h>

#include "fuzz/fdi_fuzzer.cpp"
#include "tests/support/support.h"

namespace {

using namespace cab::test;

// The files FDICopy handed back whole, or -1 when it failed.
int Replay(Bytes cabinet, uint8_t params) {
    cabinet.insert(cabinet.begin(), params);
    LLVMFuzzerTestOneInput(cabinet.data(), cabinet.size());
    return fdi_fuzz::g_state.copied ? fdi_fuzz::g_state.closed : -1;
}

// The committed starting inputs are whole cabinets: every read size gives every file, skipping
// every other file gives the rest, and an abort fails the copy.
TEST(FdiFuzzReplay, StartingInputsReadWholeInEveryMode) {
    size_t count = 0;
    for (const auto &e : fs::directory_iterator(fs::path(CABMGR_SOURCE_DIR) / "fuzz" / "inputs")) {
        SCOPED_TRACE(e.path().filename().string());
        Bytes cabinet = ToBytes(ReadFile(e.path()));
        int files = Replay(cabinet, 0);
        EXPECT_GE(files, 3);
        for (uint8_t short_reads : {0x10, 0x30, 0x90})  // at most 2, 8 and 512 bytes a read
            EXPECT_EQ(Replay(cabinet, short_reads), files) << int(short_reads);
        EXPECT_EQ(Replay(cabinet, 0x01), (files + 1) / 2);
        EXPECT_EQ(Replay(cabinet, 0x08), -1);
        ++count;
    }
    EXPECT_GE(count, 3u);
}

// Saved regressions already carry their parameter byte; corpus cabinets get a few.
TEST(FdiFuzzReplay, RegressionsAndCorpusEndCleanly) {
    const fs::path saved = fs::path(CABMGR_SOURCE_DIR) / "fuzz" / "regressions";
    size_t runs = 0;
    std::error_code none;
    for (const auto &e : fs::directory_iterator(saved, none)) {
        Bytes input = ToBytes(ReadFile(e.path()));
        LLVMFuzzerTestOneInput(input.data(), input.size());
        ++runs;
    }
    if (!CorpusDir().empty()) {
        for (const fs::path &path : CorpusCabinets()) {
            for (uint8_t params : {0x00, 0x03, 0x0C, 0x45, 0x8F})
                Replay(ToBytes(ReadFile(path)), params), ++runs;
        }
    }
    if (runs == 0)
        GTEST_SKIP() << "no corpus and no saved regressions";
}

}  // namespace

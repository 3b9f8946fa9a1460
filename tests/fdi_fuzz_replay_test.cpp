// Replays the reader's fuzz target without libFuzzer: every corpus cabinet and every saved
// regression input, under a few parameter bytes, so the target and its checks run in every build.
#include <gtest/gtest.h>

#include <filesystem>

#include "cab_test_util.h"
#include "fuzz/fdi_fuzzer.cpp"

namespace {

TEST(FdiFuzzReplay, RunsTheTargetOverTheCorpusAndRegressions) {
    namespace fs = std::filesystem;
    std::vector<fs::path> inputs;
    for (const auto &e : fs::recursive_directory_iterator(CABMGR_CORPUS_DIR)) {
        auto ext = e.path().extension();
        if (e.is_regular_file() && ext != ".tsv" && ext != ".md")
            inputs.push_back(e.path());
    }
    size_t regressions = 0;
    fs::path saved = fs::path(CABMGR_SOURCE_DIR) / "fuzz" / "regressions";
    if (fs::is_directory(saved)) {
        for (const auto &e : fs::directory_iterator(saved)) {
            // Saved inputs already carry their parameter byte.
            cab::test::Bytes b = cab::test::ReadDiskFile(e.path().string());
            LLVMFuzzerTestOneInput(b.data(), b.size());
            ++regressions;
        }
    }
    const uint8_t params[] = {0x00, 0x01, 0x03, 0x0C, 0x45, 0x8F};
    for (const auto &path : inputs) {
        // The parameter byte goes in front of the cabinet.
        cab::test::Bytes input = cab::test::ReadDiskFile(path.string());
        input.insert(input.begin(), 0);
        for (uint8_t p : params) {
            input[0] = p;
            EXPECT_EQ(LLVMFuzzerTestOneInput(input.data(), input.size()), 0) << path;
        }
    }
    EXPECT_GT(inputs.size(), 200u);
    printf("%zu corpus inputs, %zu regression inputs\n", inputs.size(), regressions);
}

}  // namespace

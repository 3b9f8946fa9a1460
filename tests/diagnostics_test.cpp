#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "diagnostics/dpf.h"
#include "platform/errors.h"
#include "tests/support/support.h"

namespace {

using namespace cab::test;

// The base name after the last '/' or '\'; '%' signs are text; over 255 characters are cut.
TEST(Dpf, LocationReadsAsGiven) {
    const std::string function(300, 'f');
    const struct {
        const char *file, *function;
        int line;
        std::string want;
    } cases[] = {
        {"/src/tree\\sub/utils.cpp", "Util", 379, "[utils.cpp - {Util} - #379]"},
        {"c:\\x\\win.cpp", "F", -3, "[win.cpp - {F} - #-3]"},
        {"dir/", "F", 0, "[ - {F} - #0]"},
        {nullptr, nullptr, 0, "[ - {} - #0]"},
        {"a%s.cpp", "f%d", 2, "[a%s.cpp - {f%d} - #2]"},
        {"x.cpp", function.c_str(), 123456, ("[x.cpp - {" + function).substr(0, 255)},
    };
    for (const auto &c : cases)
        EXPECT_EQ(CapturedStdout([&] { DPFLocation(c.file, c.function, c.line); }), c.want);
}

// A message is text after its format: '%' signs in an argument are never read as conversions.
// The buffer holds 1023 characters: one more brings the notice and a cut message. A format the C
// library cannot process leaves an empty message, never stale stack bytes.
TEST(Dpf, MessagesAreTextCutAt1023Characters) {
    const std::string fits(1023, 'm'), notice = "FAIL: StringCchVPrintfAf failed in DPF";
    const wchar_t unconvertible[] = {static_cast<wchar_t>(0xD800), 0};
    EXPECT_EQ(CapturedStdout([] { DPF(DPF_FAIL, "Unable to open %s", "/tmp/100%d%s%n.txt"); }),
              "[FAIL] Unable to open /tmp/100%d%s%n.txt\n");
    EXPECT_EQ(CapturedStdout([&] { DPF(DPF_FAIL, "%s", fits.c_str()); }), "[FAIL] " + fits + "\n");
    EXPECT_EQ(CapturedStdout([&] { DPF(DPF_FAIL, "%s", (fits + "X").c_str()); }),
              notice + "[FAIL] " + fits + "\n");
    EXPECT_EQ(CapturedStdout([&] { DPF(DPF_FAIL, "%ls", unconvertible); }), notice + "[FAIL] \n");
}

// The system text (when there is one), then the number; the error stays for the next reader.
TEST(Dpf, LastErrorWritesSystemTextThenNumber) {
    const std::pair<DWORD, std::string> cases[] = {
        {ERROR_ACCESS_DENIED, "Access is denied.\nGetLastError: 5"},
        {98765, "GetLastError: 98765"},
        {0x80004005u, "GetLastError: -2147467259"},
    };
    for (const auto &[error, want] : cases) {
        SetLastError(error);
        EXPECT_EQ(CapturedStdout([] { DPFLastError(); }), want);
        EXPECT_EQ(GetLastError(), error);
    }
}

class LogFileTest : public testing::Test {
protected:
    void TearDown() override { g_dpfLogFile.SetFileName(nullptr); }
    Scratch scratch_{"dpf"};
    fs::path path_ = scratch_ / "dpf.log";
};

// Each piece is a line of its own in the file; the "\n" piece gives an empty line. Unnamed or
// unopenable, the log takes nothing and the console report goes on unchanged.
TEST_F(LogFileTest, ReceivesEachPieceAsALine) {
    EXPECT_EQ(g_dpfLogFile.WriteLine("text"), E_FAIL);
    fs::create_directory(path_);
    g_dpfLogFile.SetFileName(path_.wstring().c_str());
    SetLastError(ERROR_DISK_FULL);
    EXPECT_EQ(g_dpfLogFile.WriteLine("x"), E_FAIL);
    EXPECT_EQ(CapturedStdout([] { DPF(DPF_INFO, "ok"); }), "[INFO] ok\n");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
    fs::remove(path_);

    SetLastError(ERROR_ACCESS_DENIED);
    std::string out = CapturedStdout([] {
        DPFLocation("a/b.cpp", "F", 7);
        DPF(DPF_FAIL, "m %d%%", 5);
        DPFLastError();
    });
    EXPECT_EQ(out, "[b.cpp - {F} - #7][FAIL] m 5%\nAccess is denied.\nGetLastError: 5");
    EXPECT_EQ(ReadFile(path_),
              "[b.cpp - {F} - #7]\n[FAIL] \nm 5%\n\n\nAccess is denied.\n\nGetLastError: 5\n");
    // WriteLine takes text, not a format, and keeps at most 1023 characters of it.
    fs::remove(path_);
    EXPECT_EQ(g_dpfLogFile.WriteLine("%s%n"), S_OK);
    EXPECT_EQ(g_dpfLogFile.WriteLine(std::string(2000, 'z').c_str()), S_OK);
    EXPECT_EQ(ReadFile(path_), "%s%n\n" + std::string(1023, 'z') + "\n");
}

// Pieces from several threads never tear inside the file.
TEST_F(LogFileTest, ConcurrentPiecesStayWhole) {
    g_dpfLogFile.SetFileName(path_.wstring().c_str());
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            const std::string line(200, static_cast<char>('a' + t));
            for (int i = 0; i < 50; ++i)
                g_dpfLogFile.WriteLine(line.c_str());
        });
    }
    for (auto &thread : threads)
        thread.join();
    std::istringstream lines(ReadFile(path_));
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        ASSERT_EQ(line.size(), 200u);
        EXPECT_EQ(line.find_first_not_of(line[0]), std::string::npos);
    }
    EXPECT_EQ(count, 200);
}

}  // namespace

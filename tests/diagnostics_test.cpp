#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "diagnostics/dpf.h"
#include "platform/errors.h"
#include "stdout_capture.h"

namespace fs = std::filesystem;

namespace {

// Runs body and returns what it printed on standard output.
using cab::test::CapturedStdout;

std::string ReadFile(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class LogFileTest : public testing::Test {
protected:
    void SetUp() override {
        path_ = fs::temp_directory_path() /
                ("cabmgr_dpf_" + std::to_string(reinterpret_cast<uintptr_t>(this)) + ".log");
        fs::remove(path_);
    }
    void TearDown() override {
        g_dpfLogFile.SetFileName(nullptr);
        fs::remove(path_);
    }
    fs::path path_;
};

TEST(Dpf, ReportReadsAsOneLine) {
    std::string out = CapturedStdout([] {
        DPFLocation("/src/tree\\sub/utils.cpp", "UtilFreeDuplicateString", 379);
        DPF(DPF_WARN, "Invalid input passed");
    });
    EXPECT_EQ(out, "[utils.cpp - {UtilFreeDuplicateString} - #379][WARN] Invalid input passed\n");
}

TEST(Dpf, EveryLevelHasItsTag) {
    const std::pair<int, const char *> cases[] = {
        {DPF_MSG, "[MSG ] "},      {DPF_FAIL, "[FAIL] "}, {DPF_WARN, "[WARN] "},
        {DPF_INFO, "[INFO] "},     {DPF_PLAIN, ""},       {DPF_IN, " [>>>] "},
        {DPF_OUT, " [<<<] "},      {7, "[Unknown] "},     {-1, "[Unknown] "},
        {0x7fffffff, "[Unknown] "}};
    for (const auto &[level, tag] : cases) {
        EXPECT_STREQ(DPFLevelTag(level), tag) << level;
        std::string out = CapturedStdout([level = level] { DPF(level, "m%d", 1); });
        EXPECT_EQ(out, std::string(tag) + "m1\n") << level;
    }
    EXPECT_EQ(CapturedStdout([] {
                  DPFLocation("plain.cpp", "F", 1);
                  DPF(DPF_PLAIN, "msg");
              }),
              "[plain.cpp - {F} - #1]msg\n");
}

// The message buffer holds 1023 characters: one more brings the notice and a cut message.
TEST(Dpf, MessageBoundaryAt1023Characters) {
    const std::string fits(1023, 'm');
    EXPECT_EQ(CapturedStdout([&] { DPF(DPF_FAIL, "%s", fits.c_str()); }), "[FAIL] " + fits + "\n");
    const std::string too_long = fits + "X";
    EXPECT_EQ(CapturedStdout([&] { DPF(DPF_FAIL, "%s", too_long.c_str()); }),
              "FAIL: StringCchVPrintfAf failed in DPF[FAIL] " + fits + "\n");
}

// A format the C library cannot process leaves an empty message, never stale stack bytes.
TEST(Dpf, UnprocessableFormatGivesNoticeAndEmptyMessage) {
    const wchar_t unconvertible[] = {static_cast<wchar_t>(0xD800), 0};
    EXPECT_EQ(CapturedStdout([&] { DPF(DPF_FAIL, "%ls", unconvertible); }),
              "FAIL: StringCchVPrintfAf failed in DPF[FAIL] \n");
}

TEST(Dpf, PercentSignsInArgumentsStayAsTheyAre) {
    EXPECT_EQ(CapturedStdout([] { DPF(DPF_FAIL, "Unable to open %s", "/tmp/100%d%s%n.txt"); }),
              "[FAIL] Unable to open /tmp/100%d%s%n.txt\n");
    EXPECT_EQ(CapturedStdout([] { DPFLocation("a%s.cpp", "f%d", 2); }), "[a%s.cpp - {f%d} - #2]");
}

TEST(DpfLocation, BaseNameAndCut) {
    EXPECT_EQ(CapturedStdout([] { DPFLocation("nofolder.cpp", "F", -3); }),
              "[nofolder.cpp - {F} - #-3]");
    EXPECT_EQ(CapturedStdout([] { DPFLocation("c:\\x\\win.cpp", "F", 0); }),
              "[win.cpp - {F} - #0]");
    EXPECT_EQ(CapturedStdout([] { DPFLocation("dir/", "F", 0); }), "[ - {F} - #0]");
    EXPECT_EQ(CapturedStdout([] { DPFLocation(nullptr, nullptr, 0); }), "[ - {} - #0]");

    // A location longer than 255 characters is cut silently.
    const std::string function(300, 'f');
    std::string out = CapturedStdout([&] {
        DPFLocation("x.cpp", function.c_str(), 123456);
        DPF(DPF_FAIL, "after");
    });
    const std::string location = ("[x.cpp - {" + function).substr(0, 255);
    EXPECT_EQ(out, location + "[FAIL] after\n");
}

TEST(DpfLastError, WritesSystemTextThenNumber) {
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_EQ(CapturedStdout([] { DPFLastError(); }), "Access is denied.\nGetLastError: 5");
    // Reporting leaves the error for the next reader.
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    SetLastError(98765);
    EXPECT_EQ(CapturedStdout([] { DPFLastError(); }), "GetLastError: 98765");
    EXPECT_EQ(GetLastError(), 98765u);

    SetLastError(0x80004005u);
    EXPECT_EQ(CapturedStdout([] { DPFLastError(); }), "GetLastError: -2147467259");
}

// A full failure report: the FAIL line, the error text, and the number left open for the next
// report's location.
TEST(DpfLastError, FollowsAFailLine) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    std::string out = CapturedStdout([] {
        DPFLocation(__FILE__, "CCabManager::CompressFiles", 10);
        DPF(DPF_FAIL, "FCIAddFile failed");
        DPFLastError();
        DPFLocation(__FILE__, "Next", 11);
    });
    EXPECT_EQ(out,
              "[diagnostics_test.cpp - {CCabManager::CompressFiles} - #10][FAIL] FCIAddFile "
              "failed\nThe system cannot find the file specified.\nGetLastError: "
              "2[diagnostics_test.cpp - {Next} - #11]");
}

TEST_F(LogFileTest, UnnamedWritesNothing) {
    EXPECT_TRUE(g_dpfLogFile.GetFileName().empty());
    EXPECT_EQ(g_dpfLogFile.WriteLine("text"), E_FAIL);
    SetLastError(ERROR_DISK_FULL);
    std::string out = CapturedStdout([] { DPF(DPF_FAIL, "still on the console"); });
    EXPECT_EQ(out, "[FAIL] still on the console\n");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
}

// Each piece is a line of its own in the file; the "\n" piece gives an empty line.
TEST_F(LogFileTest, NamedReceivesEachPieceAsALine) {
    g_dpfLogFile.SetFileName(path_.wstring().c_str());
    SetLastError(ERROR_ACCESS_DENIED);
    std::string out = CapturedStdout([] {
        DPFLocation("a/b.cpp", "F", 7);
        DPF(DPF_FAIL, "m %d%%", 5);
        DPFLastError();
    });
    EXPECT_EQ(out, "[b.cpp - {F} - #7][FAIL] m 5%\nAccess is denied.\nGetLastError: 5");
    EXPECT_EQ(ReadFile(path_),
              "[b.cpp - {F} - #7]\n[FAIL] \nm 5%\n\n\nAccess is denied.\n\nGetLastError: 5\n");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    // WriteLine takes text, not a format, and keeps at most 1023 characters of it.
    fs::remove(path_);
    EXPECT_EQ(g_dpfLogFile.WriteLine("%s%n"), S_OK);
    EXPECT_EQ(g_dpfLogFile.WriteLine(std::string(2000, 'z').c_str()), S_OK);
    EXPECT_EQ(ReadFile(path_), "%s%n\n" + std::string(1023, 'z') + "\n");
}

TEST_F(LogFileTest, UnopenableFileFailsQuietly) {
    const fs::path folder = path_.string() + ".d";
    fs::create_directory(folder);
    g_dpfLogFile.SetFileName(folder.wstring().c_str());
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(g_dpfLogFile.WriteLine("x"), E_FAIL);
    EXPECT_EQ(CapturedStdout([] { DPF(DPF_INFO, "ok"); }), "[INFO] ok\n");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    fs::remove(folder);
}

// Pieces from several threads never tear inside the file.
TEST_F(LogFileTest, ConcurrentPiecesStayWhole) {
    g_dpfLogFile.SetFileName(path_.wstring().c_str());
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            const std::string line(200, static_cast<char>('a' + t));
            for (int i = 0; i < 50; ++i) {
                g_dpfLogFile.WriteLine(line.c_str());
            }
        });
    }
    for (auto &thread : threads) {
        thread.join();
    }
    std::istringstream lines(ReadFile(path_));
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        ASSERT_EQ(line.size(), 200u);
        EXPECT_EQ(line.find_first_not_of(line[0]), std::string::npos);
    }
    EXPECT_EQ(count, 200);
}

}  // namespace

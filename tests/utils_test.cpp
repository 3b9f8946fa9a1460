#include "utils/utils.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/errors.h"
#include "stdout_capture.h"

namespace fs = std::filesystem;

namespace {

using cab::test::CapturedStdout;

// A report line from utils.cpp; line numbers are written as #N.
std::string Report(const std::string &function, const std::string &tag, const std::string &text) {
    return "[utils.cpp - {" + function + "} - #N][" + tag + "] " + text + "\n";
}

// Replaces the digits after each '#' by N, so a report compares without its line number.
std::string WithoutLineNumbers(const std::string &text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        out.push_back(text[i]);
        if (text[i] == '#' && i + 1 < text.size() &&
            std::isdigit(static_cast<unsigned char>(text[i + 1]))) {
            out.push_back('N');
            while (i + 1 < text.size() && std::isdigit(static_cast<unsigned char>(text[i + 1]))) {
                ++i;
            }
        }
    }
    return out;
}

void ExpectOutput(const std::string &out, const std::string &want) {
    EXPECT_EQ(WithoutLineNumbers(out), want);
}

std::wstring Wide(const std::string &narrow) {
    std::wstring wide;
    EXPECT_EQ(UtilConvertPSTRToWstring(narrow.c_str(), &wide), S_OK);
    return wide;
}

class UtilsDirTest : public testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() /
                ("cabmgr_utils_" + std::to_string(reinterpret_cast<uintptr_t>(this)));
        fs::remove_all(root_);
        fs::create_directories(root_);
    }
    void TearDown() override { fs::remove_all(root_); }
    std::wstring W(const std::string &leaf) const { return Wide((root_ / leaf).string()); }
    void PutFile(const std::string &leaf) const { std::ofstream(root_ / leaf).put('x'); }
    fs::path root_;
};

TEST(ConvertWSTRToPSTR, CapacityIncludesTheTerminator) {
    char buffer[260];
    EXPECT_EQ(ConvertWSTRToPSTR(L"", buffer, 260), 1);
    EXPECT_STREQ(buffer, "");

    const std::wstring fits(259, L'p');
    EXPECT_EQ(CapturedStdout([&] { EXPECT_EQ(ConvertWSTRToPSTR(fits.c_str(), buffer, 260), 260); }),
              "");
    EXPECT_EQ(std::string(buffer), std::string(259, 'p'));

    const std::wstring too_long(260, L'p');
    std::string out =
        CapturedStdout([&] { EXPECT_EQ(ConvertWSTRToPSTR(too_long.c_str(), buffer, 260), 0); });
    ExpectOutput(out, Report("ConvertWSTRToPSTR", "FAIL", "WideCharToMultiByte failed") +
                          "The data area passed to a system call is too small.\nGetLastError: 122");

    // A null destination fails without a word; its callers report.
    EXPECT_EQ(CapturedStdout([] { EXPECT_EQ(ConvertWSTRToPSTR(L"x", nullptr, 10), 0); }), "");
}

// A capacity of 0 would turn into a size query that writes nothing: it must not pass as success.
TEST(ConvertWSTRToPSTR, ZeroCapacityFails) {
    char buffer[1] = {'#'};
    std::string out = CapturedStdout([&] { EXPECT_EQ(ConvertWSTRToPSTR(L"abc", buffer, 0), 0); });
    ExpectOutput(out, Report("ConvertWSTRToPSTR", "FAIL", "WideCharToMultiByte failed") +
                          "The data area passed to a system call is too small.\nGetLastError: 122");
    EXPECT_EQ(buffer[0], '#');
}

TEST(ConvertWSTRToPSTR, UnencodableUnitsBecomeQuestionMarks) {
    const wchar_t text[] = {L'a', static_cast<wchar_t>(0xD83D), L'\u00e9', 0};
    char buffer[16];
    EXPECT_EQ(ConvertWSTRToPSTR(text, buffer, 16), 5);
    EXPECT_STREQ(buffer, "a?\xc3\xa9");
}

TEST(UtilConvertPSTRToWstring, ConvertsAndRoundTripsBytes) {
    std::wstring wide = L"old";
    EXPECT_EQ(UtilConvertPSTRToWstring("", &wide), S_OK);
    EXPECT_TRUE(wide.empty());

    EXPECT_EQ(CapturedStdout([&] {
                  EXPECT_EQ(UtilConvertPSTRToWstring(nullptr, &wide), E_INVALIDARG);
                  EXPECT_EQ(UtilConvertPSTRToWstring("x", nullptr), E_INVALIDARG);
              }),
              "");

    // A name that is not UTF-8 survives the trip through the wide form.
    const std::string bytes = "dir/caf\xe9\xff\xc3\xa9.txt";
    ASSERT_EQ(UtilConvertPSTRToWstring(bytes.c_str(), &wide), S_OK);
    EXPECT_EQ(wide.size(), bytes.size() - 1);
    char back[64];
    EXPECT_EQ(ConvertWSTRToPSTR(wide.c_str(), back, sizeof(back)),
              static_cast<int>(bytes.size() + 1));
    EXPECT_EQ(std::string(back), bytes);
}

TEST(DuplicateString, CopiesAndReleases) {
    wchar_t *copy = UtilGetDuplicateString(L"");
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, L"");
    UtilFreeDuplicateString(&copy);
    EXPECT_EQ(copy, nullptr);

    copy = UtilGetDuplicateString(L"path\u00e9");
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, L"path\u00e9");
    EXPECT_EQ(CapturedStdout([&] { UtilFreeDuplicateString(&copy); }), "");
    EXPECT_EQ(copy, nullptr);

    // A second release of the same pointer, or no address at all, only warns.
    const std::string warning = Report("UtilFreeDuplicateString", "WARN", "Invalid input passed");
    ExpectOutput(CapturedStdout([&] { UtilFreeDuplicateString(&copy); }), warning);
    ExpectOutput(CapturedStdout([] { UtilFreeDuplicateString(nullptr); }), warning);
}

TEST(UtilStringPrintfWstring, KeepsAtMost1023Characters) {
    std::wstring out;
    const std::wstring fits(1020, L'f');
    EXPECT_EQ(UtilStringPrintfWstring(out, L"%s%X", fits.c_str(), 0xABC), S_OK);
    EXPECT_EQ(out, fits + L"ABC");
    EXPECT_EQ(UtilStringPrintfWstring(out, L"%s%X", fits.c_str(), 0xABCD),
              STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(out, fits + L"ABC");
    EXPECT_EQ(UtilStringPrintfWstring(out, L"%d%%", -7), S_OK);
    EXPECT_EQ(out, L"-7%");
}

TEST(UtilExpandEnvVariable, ReplacesSetVariablesOnly) {
    setenv("CABMGR_UTILS_DIR", "/var/x", 1);
    unsetenv("CABMGR_UTILS_NONE");
    EXPECT_EQ(UtilExpandEnvVariable(L"%CABMGR_UTILS_DIR%/out"), L"/var/x/out");
    EXPECT_EQ(UtilExpandEnvVariable(L"%CABMGR_UTILS_NONE%/out"), L"%CABMGR_UTILS_NONE%/out");
    EXPECT_EQ(UtilExpandEnvVariable(L"plain/path"), L"plain/path");
    std::wstring result;
    std::string out = CapturedStdout([&] { result = UtilExpandEnvVariable(nullptr); });
    EXPECT_TRUE(result.empty());
    ExpectOutput(out, Report("UtilExpandEnvVariable", "FAIL", "ExpandEnvironmenwstrings failed") +
                          "The parameter is incorrect.\nGetLastError: 87");
}

TEST(TrailingSeparator, RemoveRules) {
    struct Case {
        std::wstring in, want;
        int flag;
    } cases[] = {{L"a/b/", L"a/b", 1}, {L"a\\", L"a", 1}, {L"/", L"/", 1},
                 {L"a/b", L"a/b", 0},  {L"", L"", 0},     {L"a//", L"a/", 1}};
    for (const auto &c : cases) {
        std::wstring path = c.in;
        int flag = -1;
        EXPECT_EQ(UtilRemoveTrailingSlash(&path, &flag), S_OK);
        EXPECT_EQ(path, c.want) << c.in;
        EXPECT_EQ(flag, c.flag) << c.in;
        path = c.in;
        EXPECT_EQ(UtilRemoveTrailingSlash(&path, nullptr), S_OK);
        EXPECT_EQ(path, c.want);
    }
    EXPECT_EQ(
        CapturedStdout([] { EXPECT_EQ(UtilRemoveTrailingSlash(nullptr, nullptr), E_INVALIDARG); }),
        "");
}

TEST(TrailingSeparator, AppendRules) {
    std::wstring path = L"a/b";
    EXPECT_EQ(UtilAppendPathSeparator(&path), S_OK);
    EXPECT_EQ(path, L"a/b/");
    EXPECT_EQ(UtilAppendPathSeparator(&path), S_OK);
    EXPECT_EQ(path, L"a/b/");
    path = L"a\\";
    EXPECT_EQ(UtilAppendPathSeparator(&path), S_OK);
    EXPECT_EQ(path, L"a\\");

    path.clear();
    ExpectOutput(CapturedStdout([&] { EXPECT_EQ(UtilAppendPathSeparator(&path), E_INVALIDARG); }),
                 Report("UtilAppendPathSeparator", "FAIL", "The path passed has zero length"));
    ExpectOutput(CapturedStdout([] { EXPECT_EQ(UtilAppendPathSeparator(nullptr), E_INVALIDARG); }),
                 Report("UtilAppendPathSeparator", "FAIL", "NULL pased"));
}

TEST_F(UtilsDirTest, ExistingFolderComesBackAsGiven) {
    fs::create_directory(root_ / "have");
    for (const std::wstring &given : {W("have/"), W("have"), W("have\\")}) {
        std::wstring path = given;
        EXPECT_EQ(CapturedStdout([&] { EXPECT_EQ(UtilCreateDirectory(&path), S_OK); }), "");
        EXPECT_EQ(path, given);
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(root_), fs::directory_iterator()), 1);

    std::wstring root = L"/";
    EXPECT_EQ(UtilCreateDirectory(&root), S_OK);
    EXPECT_EQ(root, L"/");
}

TEST_F(UtilsDirTest, CreatesMissingLevelsAndKeepsReferences) {
    std::wstring path = W("x/y/z/");
    EXPECT_EQ(UtilCreateDirectory(&path), S_OK);
    EXPECT_EQ(path, W("x/y/z/"));
    EXPECT_TRUE(fs::is_directory(root_ / "x/y/z"));

    setenv("CABMGR_UTILS_ROOT", root_.c_str(), 1);
    path = L"%CABMGR_UTILS_ROOT%/env/";
    EXPECT_EQ(UtilCreateDirectory(&path), S_OK);
    EXPECT_EQ(path, L"%CABMGR_UTILS_ROOT%/env/");
    EXPECT_TRUE(fs::is_directory(root_ / "env"));

    std::wstring empty;
    EXPECT_EQ(UtilCreateDirectory(&empty), E_INVALIDARG);
    EXPECT_EQ(UtilCreateDirectory(nullptr), E_INVALIDARG);
}

// A file in the folder's place sends the folder to the next free numbered name.
TEST_F(UtilsDirTest, FallsBackToNumberedNames) {
    PutFile("out");
    std::wstring path = W("out/");
    EXPECT_EQ(CapturedStdout([&] { EXPECT_EQ(UtilCreateDirectory(&path), S_OK); }), "");
    EXPECT_EQ(path, W("out0/"));
    EXPECT_TRUE(fs::is_directory(root_ / "out0"));

    // Attempt 11 tries the suffix A: B, B0..B9 are all taken by files.
    PutFile("hex");
    for (int i = 0; i <= 9; ++i) {
        PutFile("hex" + std::to_string(i));
    }
    path = W("hex");
    EXPECT_EQ(UtilCreateDirectory(&path), S_OK);
    EXPECT_EQ(path, W("hexA"));
    EXPECT_TRUE(fs::is_directory(root_ / "hexA"));
}

TEST_F(UtilsDirTest, GivesUpAfterTwentyNames) {
    const char *suffixes[] = {"",  "0", "1", "2", "3", "4", "5", "6",  "7",  "8",
                              "9", "A", "B", "C", "D", "E", "F", "10", "11", "12"};
    for (const char *suffix : suffixes) {
        PutFile(std::string("full") + suffix);
    }
    std::wstring path = W("full/");
    std::string out = CapturedStdout([&] { EXPECT_EQ(UtilCreateDirectory(&path), E_FAIL); });
    ExpectOutput(out, Report("UtilCreateDirectory", "FAIL",
                             "Could not create the folder where we can copy the files"));
    EXPECT_EQ(path, W("full/"));
    EXPECT_FALSE(fs::exists(root_ / "full13"));
}

TEST_F(UtilsDirTest, FileOnTheWayIsNotAFolder) {
    PutFile("blocker");
    std::wstring path = W("blocker/inner");
    // Every numbered name lies under the file as well, so none can be made.
    ExpectOutput(CapturedStdout([&] { EXPECT_EQ(UtilCreateDirectory(&path), E_FAIL); }),
                 Report("UtilCreateDirectory", "FAIL",
                        "Could not create the folder where we can copy the files"));
    EXPECT_TRUE(fs::is_regular_file(root_ / "blocker"));
}

struct MatchCase {
    const char *name;
    const char *pattern;
    int want;
};

// Whole name against whole pattern, ignore-case switch at 0.
TEST(UtilCompareWildCards, MatchesWholeNames) {
    const MatchCase cases[] = {
        {"abc", "abc", 1},
        {"abc", "ab", 0},
        {"a.txt.bak", "*.txt", 0},
        {"a.bak", "*.txt", 0},
        {"a.txt", "*.txt", 1},
        {"a.txt.exe", "a.txt", 0},
        {"a.txt", "*\\.txt", 1},
        {"a", "", 0},
        {"", "", 1},
        {"", "***", 1},
        {"", "?", 0},
        {"ab", "ab*", 1},
        {"ab", "ab?", 0},
        {"abc", "a?c", 1},
        {"abcabd", "*abd", 1},
        {"aXbXc", "*b*c", 1},
        {"a*c", "a\\*c", 1},
        {"abc", "a\\*c", 0},
        {"a?c", "a\\?c", 1},
        {"abc", "a\\?c", 0},
        {"a\\c", "a\\\\c", 1},
        {"ABC", "abc", 0},
        {"abcbc", "*bc", 1},
        {"mississippi", "m*iss*ppi", 1},
        {"mississippi", "m*iss*x", 0},
        {"x.cab", "*.*", 1},
        {"noext", "*.*", 0},
        {"dir\\f.txt", "dir\\\\*", 1},
        {"caf\xc3\xa9", "caf?", 1},
        {"\xff.bin", "?.bin", 1},
    };
    for (const auto &c : cases) {
        int verdict = -1;
        EXPECT_EQ(UtilCompareWildCards(c.name, c.pattern, 0, &verdict), S_OK)
            << c.name << " / " << c.pattern;
        EXPECT_EQ(verdict, c.want) << c.name << " / " << c.pattern;
    }
}

TEST(UtilCompareWildCards, IgnoreCaseFoldsBoth) {
    int verdict = -1;
    EXPECT_EQ(UtilCompareWildCards(L"ABC", L"abc", 1, &verdict), S_OK);
    EXPECT_EQ(verdict, 1);
    EXPECT_EQ(UtilCompareWildCards(L"\u00c9T\u00c9.TXT", L"\u00e9t*.txt", 1, &verdict), S_OK);
    EXPECT_EQ(verdict, 1);
    EXPECT_EQ(UtilCompareWildCards(L"ABC", L"abd", 1, &verdict), S_OK);
    EXPECT_EQ(verdict, 0);
}

// A malformed pattern is an error whatever the name, and the verdict stays untouched.
TEST(UtilCompareWildCards, LoneTrailingBackslashFails) {
    for (const char *name : {"abc", "abcd", ""}) {
        int verdict = -1;
        EXPECT_EQ(CapturedStdout(
                      [&] { EXPECT_EQ(UtilCompareWildCards(name, "abc\\", 0, &verdict), E_FAIL); }),
                  "");
        EXPECT_EQ(verdict, -1);
    }
    int verdict = -1;
    EXPECT_EQ(UtilCompareWildCards("a\\", "a\\\\", 0, &verdict), S_OK);
    EXPECT_EQ(verdict, 1);
}

TEST(UtilCompareWildCards, ReportsBadArguments) {
    int verdict = -1;
    const std::string invalid = Report("UtilCompareWildCards", "FAIL", "Invalid args passed");
    ExpectOutput(CapturedStdout([&] {
                     EXPECT_EQ(UtilCompareWildCards(static_cast<const wchar_t *>(nullptr), L"*", 0,
                                                    &verdict),
                               E_INVALIDARG);
                 }),
                 invalid);
    ExpectOutput(CapturedStdout([&] {
                     EXPECT_EQ(UtilCompareWildCards(L"a", L"*", 0, nullptr), E_INVALIDARG);
                 }),
                 invalid);
    ExpectOutput(CapturedStdout([&] {
                     EXPECT_EQ(
                         UtilCompareWildCards(static_cast<const char *>(nullptr), "*", 0, &verdict),
                         E_INVALIDARG);
                 }),
                 Report("UtilCompareWildCards", "FAIL", "UtilConvertPSTRToWstring failed"));
    EXPECT_EQ(verdict, -1);
}

// Many stars over a long near-miss name: the matcher must not retry every split of the name.
TEST(UtilCompareWildCards, ManyStarsStayPolynomial) {
    const std::string name(20000, 'a');
    int verdict = -1;
    EXPECT_EQ(UtilCompareWildCards(name.c_str(), "*a*a*a*a*a*a*a*a*b", 0, &verdict), S_OK);
    EXPECT_EQ(verdict, 0);
    EXPECT_EQ(UtilCompareWildCards((name + "b").c_str(), "*a*a*a*a*a*a*a*a*b", 0, &verdict), S_OK);
    EXPECT_EQ(verdict, 1);
}

}  // namespace

#include "utils/utils.h"

#include <cstdlib>
#include <regex>

#include "platform/errors.h"
#include "tests/support/support.h"

namespace {

using namespace cab::test;

// What body printed, with the line numbers of reports written as #N.
template <typename Body>
std::string Reports(Body body) {
    return std::regex_replace(CapturedStdout(body), std::regex("#[0-9]+"), "#N");
}

std::string Report(const std::string &function, const std::string &tag, const std::string &text) {
    return "[utils.cpp - {" + function + "} - #N][" + tag + "] " + text + "\n";
}

std::wstring Wide(const std::string &narrow) {
    std::wstring wide;
    EXPECT_EQ(UtilConvertPSTRToWstring(narrow.c_str(), &wide), S_OK);
    return wide;
}

// Capacity counts the terminator; 0 must not pass as a size query that writes nothing.
TEST(ConvertWSTRToPSTR, CapacityIncludesTheTerminator) {
    char buffer[260] = {'#'};
    const std::string too_small =
        Report("ConvertWSTRToPSTR", "FAIL", "WideCharToMultiByte failed") +
        "The data area passed to a system call is too small.\nGetLastError: 122";
    EXPECT_EQ(Reports([&] { EXPECT_EQ(ConvertWSTRToPSTR(L"abc", buffer, 0), 0); }), too_small);
    EXPECT_EQ(buffer[0], '#');
    const std::wstring fits(259, L'p');
    EXPECT_EQ(Reports([&] { EXPECT_EQ(ConvertWSTRToPSTR(fits.c_str(), buffer, 260), 260); }), "");
    EXPECT_EQ(std::string(buffer), std::string(259, 'p'));
    EXPECT_EQ(Reports([&] { EXPECT_EQ(ConvertWSTRToPSTR((fits + L"p").c_str(), buffer, 260), 0); }),
              too_small);
}

TEST(UtilStringPrintfWstring, KeepsAtMost1023Characters) {
    std::wstring out;
    const std::wstring fits(1020, L'f');
    EXPECT_EQ(UtilStringPrintfWstring(out, L"%s%X", fits.c_str(), 0xABC), S_OK);
    EXPECT_EQ(out, fits + L"ABC");
    EXPECT_EQ(UtilStringPrintfWstring(out, L"%s%X", fits.c_str(), 0xABCD),
              STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(out, fits + L"ABC");
}

// (Appending one is the manager's destination test's.)
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
    }
}

class UtilsDirTest : public testing::Test {
protected:
    std::wstring W(const std::string &leaf) const { return Wide((root_ / leaf).string()); }
    void PutFiles(const std::string &base, const std::vector<std::string> &suffixes) const {
        for (const std::string &suffix : suffixes)
            WriteFile(root_ / (base + suffix), "x");
    }
    Scratch scratch_{"utils"};
    fs::path root_ = scratch_.path();
};

// An existing folder comes back as given; missing levels are made; the path is not expanded
// again (the caller expanded it).
TEST_F(UtilsDirTest, CreatesMissingLevelsAndKeepsThePathAsGiven) {
    fs::create_directory(root_ / "have");
    for (const std::wstring &given : {W("have/"), W("have"), W("have\\"), W("x/y/z/")}) {
        std::wstring path = given;
        EXPECT_EQ(Reports([&] { EXPECT_EQ(UtilCreateDirectory(&path), S_OK); }), "");
        EXPECT_EQ(path, given);
    }
    EXPECT_TRUE(fs::is_directory(root_ / "x/y/z"));
    setenv("CABMGR_UTILS_ROOT", "elsewhere", 1);
    std::wstring path = W("%CABMGR_UTILS_ROOT%/");
    EXPECT_EQ(UtilCreateDirectory(&path), S_OK);
    EXPECT_EQ(path, W("%CABMGR_UTILS_ROOT%/"));
    EXPECT_TRUE(fs::is_directory(root_ / "%CABMGR_UTILS_ROOT%"));
    EXPECT_EQ(std::distance(fs::directory_iterator(root_), {}), 3);
}

// A file in the folder's place sends the folder to the next free numbered name: "", 0-9, A-F,
// 10, 11, 12; after twenty names it gives up.
TEST_F(UtilsDirTest, FallsBackToNumberedNames) {
    PutFiles("out", {""});
    std::wstring path = W("out/");
    EXPECT_EQ(Reports([&] { EXPECT_EQ(UtilCreateDirectory(&path), S_OK); }), "");
    EXPECT_EQ(path, W("out0/"));
    EXPECT_TRUE(fs::is_directory(root_ / "out0"));

    PutFiles("hex", {"", "0", "1", "2", "3", "4", "5", "6", "7", "8", "9"});
    path = W("hex");
    EXPECT_EQ(UtilCreateDirectory(&path), S_OK);
    EXPECT_EQ(path, W("hexA"));

    PutFiles("full", {"",  "0", "1", "2", "3", "4", "5", "6",  "7",  "8",
                      "9", "A", "B", "C", "D", "E", "F", "10", "11", "12"});
    const std::string gave_up = Report("UtilCreateDirectory", "FAIL",
                                       "Could not create the folder where we can copy the files");
    path = W("full/");
    EXPECT_EQ(Reports([&] { EXPECT_EQ(UtilCreateDirectory(&path), E_FAIL); }), gave_up);
    EXPECT_EQ(path, W("full/"));
    EXPECT_FALSE(fs::exists(root_ / "full13"));
    // Every numbered name lies under a file as well.
    path = W("out/inner");
    EXPECT_EQ(Reports([&] { EXPECT_EQ(UtilCreateDirectory(&path), E_FAIL); }), gave_up);
}

// Whole name against whole pattern, with '*', '?' and escapes anywhere in the pattern. A pattern
// ending in a lone backslash is an error (-1) whatever the name, and the verdict stays as it was.
// Many stars over a long near-miss name must not retry every split of the name.
TEST(UtilCompareWildCards, MatchesWholeNames) {
    struct Case {
        std::string name;
        const char *pattern;
        int want;
    } cases[] = {{"abc", "ab", 0},
                 {"a.txt.bak", "*.txt", 0},
                 {"a.txt", "*\\.txt", 1},
                 {"", "***", 1},
                 {"", "?", 0},
                 {"ab", "ab?", 0},
                 {"abcabd", "*abd", 1},
                 {"a*c", "a\\*c", 1},
                 {"abc", "a\\?c", 0},
                 {"a\\c", "a\\\\c", 1},
                 {"ABC", "abc", 0},
                 {"mississippi", "m*iss*ppi", 1},
                 {"noext", "*.*", 0},
                 {"caf\xc3\xa9", "caf?", 1},
                 {"\xff.bin", "?.bin", 1},
                 {"abcd", "abc\\", -1},
                 {"", "abc\\", -1},
                 {"a\\", "a\\\\", 1},
                 {std::string(20000, 'a'), "*a*a*a*a*a*a*a*a*b", 0},
                 {std::string(20000, 'a') + "b", "*a*a*a*a*a*a*a*a*b", 1}};
    for (const auto &c : cases) {
        int verdict = -1;
        EXPECT_EQ(UtilCompareWildCards(c.name.c_str(), c.pattern, 0, &verdict),
                  c.want < 0 ? E_FAIL : S_OK);
        EXPECT_EQ(verdict, c.want) << c.name.substr(0, 20) << " / " << c.pattern;
    }
    int verdict = -1;
    EXPECT_EQ(UtilCompareWildCards(L"\u00c9T\u00c9.TXT", L"\u00e9t*.txt", 1, &verdict), S_OK);
    EXPECT_EQ(verdict, 1);
    EXPECT_EQ(UtilCompareWildCards(L"ABC", L"abd", 1, &verdict), S_OK);
    EXPECT_EQ(verdict, 0);
    EXPECT_EQ(Reports([&] { UtilCompareWildCards(L"a", L"*", 0, nullptr); }),
              Report("UtilCompareWildCards", "FAIL", "Invalid args passed"));
}

}  // namespace

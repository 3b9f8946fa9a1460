// Win32 stand-ins: code pages, last error and its texts, safe strings, shell helpers.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/errors.h"
#include "platform/shell.h"
#include "platform/text.h"
#include "tests/support/support.h"

namespace {

using namespace cab::test;

std::string Narrow(const std::wstring &wide) {
    int n = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, out.data(), n, nullptr, nullptr), n);
    out.pop_back();
    return out;
}

std::wstring Wide(const std::string &narrow) {
    int size = static_cast<int>(narrow.size());
    int n = MultiByteToWideChar(CP_ACP, 0, narrow.data(), size, nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, narrow.data(), size, out.data(), n), n);
    return out;
}

// Capacity counts the terminator, in bytes: a text that needs more fails with the
// insufficient-buffer error rather than come back cut.
TEST(CodePage, CapacityCountsTheTerminator) {
    char buffer[260];
    // 129 two-byte characters and the terminator take 259 bytes.
    for (const std::wstring &fits : {std::wstring(259, L'a'), std::wstring(129, L'\u00e9')}) {
        EXPECT_GT(WideCharToMultiByte(CP_ACP, 0, fits.c_str(), -1, buffer, 260, nullptr, nullptr),
                  0);
        EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, (fits + fits[0]).c_str(), -1, buffer, 260, nullptr,
                                      nullptr),
                  0);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    }
    wchar_t wide[4];
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", -1, wide, 4), 4);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abcd", -1, wide, 4), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

// File names on POSIX are bytes; a name that is not UTF-8 must come back byte for byte.
TEST(CodePage, UndecodableBytesRoundTrip) {
    EXPECT_EQ(Wide("caf\xc3\xa9\xf0\x9f\x98\x80"), L"caf\u00e9\U0001F600");
    EXPECT_EQ(Wide("a\xe9z"), std::wstring(L"a") + static_cast<wchar_t>(0xDCE9) + L"z");
    // Overlong '/', a surrogate, a cut sequence, a code point past the last.
    for (const std::string bytes : {"\xff", "\xc0\xaf", "\xed\xa0\x80", "\xe2\x82",
                                    "\xf4\x90\x80\x80", "\x80\x80\xbf", "ok\xc3\xa9\xc3"}) {
        EXPECT_EQ(Narrow(Wide(bytes)), bytes);
    }
    // Every short mix of valid and invalid sequences survives.
    Rng gen(12345);
    const unsigned char pick[] = {0x41, 0x80, 0xbf, 0xc2, 0xc3, 0xe0, 0xe2,
                                  0xed, 0xf0, 0xf4, 0xff, 0xa0, 0x9f, 0x8f};
    for (int round = 0; round < 5000; ++round) {
        std::string bytes;
        for (int i = 0; i <= round % 7; ++i)
            bytes.push_back(static_cast<char>(pick[gen.Next() % std::size(pick)]));
        ASSERT_EQ(Narrow(Wide(bytes)), bytes) << round;
    }
}

// Strict modes refuse what cannot convert; otherwise it becomes the default character.
TEST(CodePage, UnconvertibleUnits) {
    const wchar_t text[] = {L'x', 0xD801, 0xDC10, static_cast<wchar_t>(0x110000), L'y', 0};
    char buffer[16];
    BOOL used = FALSE;
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, text, -1, buffer, 16, nullptr, &used), 6);
    EXPECT_STREQ(buffer, "x???y");
    EXPECT_TRUE(used);
    EXPECT_EQ(
        WideCharToMultiByte(CP_ACP, WC_ERR_INVALID_CHARS, text, -1, buffer, 16, nullptr, nullptr),
        0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
    wchar_t wide[8];
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, "a\xff", -1, wide, 8), 0);
    std::string exact;
    EXPECT_FALSE(cab::WideToAcpExact(text, &exact));
    EXPECT_FALSE(cab::WideToAcpExact(std::wstring(L"a\0b", 3), &exact));
    EXPECT_TRUE(cab::WideToAcpExact(L"\u00e9", &exact));
    EXPECT_EQ(exact, "\xc3\xa9");
}

TEST(LastError, IsPerThreadAndMappedFromErrno) {
    SetLastError(ERROR_ACCESS_DENIED);
    DWORD seen = 1;
    std::thread([&] {
        seen = GetLastError();
        SetLastError(ERROR_DISK_FULL);
    }).join();
    EXPECT_EQ(seen, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    // ENOENT is a missing file when the folder exists, a missing path otherwise.
    const fs::path tmp = fs::temp_directory_path();
    cab::SetLastErrorFromErrno(ENOENT, (tmp / "cabmgr-nothing").c_str());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    cab::SetLastErrorFromErrno(ENOENT, (tmp / "cabmgr-no" / "nothing").c_str());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(cab::HresultFromWin32OrFail(ERROR_ACCESS_DENIED), static_cast<HRESULT>(0x80070005));
    EXPECT_EQ(cab::HresultFromWin32OrFail(ERROR_SUCCESS), E_FAIL);
}

TEST(FormatMessage, GivesFixedTextEndingInLineFeed) {
    char *text = nullptr;
    const DWORD flags =
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM;
    DWORD n = FormatMessageA(flags, nullptr, ERROR_FILE_NOT_FOUND, 0x400,
                             reinterpret_cast<LPSTR>(&text), 0, nullptr);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text), "The system cannot find the file specified.\n");
    EXPECT_EQ(n, std::string(text).size());
    EXPECT_EQ(LocalFree(text), nullptr);

    text = nullptr;
    EXPECT_EQ(FormatMessageA(flags, nullptr, 123456, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr),
              0u);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
    // Every code the errno mapping can give has a text.
    for (int err = 0; err < 135; ++err) {
        char buffer[256];
        EXPECT_GT(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, cab::Win32ErrorFromErrno(err),
                                 0, buffer, sizeof(buffer), nullptr),
                  0u)
            << err;
    }
}

HRESULT PrintfW(wchar_t *dest, size_t cch, const wchar_t *format, ...) {
    va_list args;
    va_start(args, format);
    HRESULT hr = StringCchVPrintfW(dest, cch, format, args);
    va_end(args);
    return hr;
}

// A text that does not fit is cut to capacity - 1 and reported.
TEST(SafeString, CutsAtCapacityAndSaysSo) {
    char buffer[8];
    EXPECT_EQ(StringCchCopyA(buffer, 4, "abc"), S_OK);
    EXPECT_EQ(StringCchCopyA(buffer, 4, "abcd"), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(StringCchCatA(buffer, 6, "de"), S_OK);
    EXPECT_EQ(StringCchCatA(buffer, 6, "f"), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_STREQ(buffer, "abcde");
    EXPECT_EQ(StringCchPrintfA(buffer, 8, "%s-%d", "abc", 1234), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_STREQ(buffer, "abc-123");  // the wide form's cut is the utilities' printf test's
}

// The Windows wide printf takes %s as a wide string; the C library's wants %ls.
TEST(SafeString, WidePrintfFollowsWindowsConversions) {
    wchar_t wide[64];
    EXPECT_EQ(PrintfW(wide, 64, L"%s|%S|%hs|%ls|%c|%X|%I64d|%5.2f%%", L"w\u00e9", "n", "h", L"l",
                      L'c', 255u, static_cast<long long>(-5000000000LL), 1.5),
              S_OK);
    EXPECT_STREQ(wide, L"w\u00e9|n|h|l|c|FF|-5000000000| 1.50%");
    EXPECT_EQ(PrintfW(wide, 64, L"%-4s|%Iu", L"ab", static_cast<size_t>(7)), S_OK);
    EXPECT_STREQ(wide, L"ab  |7");
    EXPECT_EQ(PrintfW(wide, 64, L"%n", nullptr), STRSAFE_E_INSUFFICIENT_BUFFER);
}

TEST(Shell, ExpandsSetVariablesOnly) {
    setenv("CABMGR_TEST_VAR", "/data\xe9", 1);
    unsetenv("CABMGR_TEST_UNSET");
    const std::pair<const wchar_t *, std::wstring> cases[] = {
        {L"%CABMGR_TEST_VAR%/x", Wide("/data\xe9") + L"/x"},
        {L"a%CABMGR_TEST_UNSET%b", L"a%CABMGR_TEST_UNSET%b"},
        {L"%CABMGR_TEST_UNSET%CABMGR_TEST_VAR%", L"%CABMGR_TEST_UNSET%CABMGR_TEST_VAR%"},
        {L"100% sure", L"100% sure"},
        {L"", L""},
    };
    for (const auto &[in, want] : cases) {
        DWORD needed = ExpandEnvironmentStringsW(in, nullptr, 0);
        EXPECT_EQ(needed, want.size() + 1) << in;
        std::wstring out(needed, L'#');
        EXPECT_EQ(ExpandEnvironmentStringsW(in, out.data(), needed), needed);
        EXPECT_EQ(out.c_str(), want) << in;
    }
    wchar_t small[3] = L"##";
    EXPECT_EQ(ExpandEnvironmentStringsW(L"abcd", small, 3), 5u);
    EXPECT_STREQ(small, L"##");
}

TEST(Shell, CreatesEveryMissingLevelOrSaysWhyNot) {
    Scratch scratch("platform");
    const fs::path dir = scratch.path();
    auto make = [&dir](const std::string &leaf) {
        return SHCreateDirectory(nullptr, Wide((dir / leaf).string()).c_str());
    };
    EXPECT_EQ(make("a/b/c"), 0);
    EXPECT_TRUE(fs::is_directory(dir / "a/b/c"));
    EXPECT_EQ(make("a/b/c/"), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(make("a//d"), 0);
    EXPECT_TRUE(PathIsDirectoryW(Wide((dir / "a/d").string()).c_str()));
    // A name that is not UTF-8 is created under its own bytes.
    EXPECT_EQ(make("n\xe9"), 0);
    EXPECT_TRUE(fs::is_directory(dir / "n\xe9"));

    WriteFile(dir / "file", "x");
    EXPECT_FALSE(PathIsDirectoryW(Wide((dir / "file").string()).c_str()));
    EXPECT_EQ(make("file"), ERROR_DIRECTORY);
    EXPECT_EQ(make("file/sub"), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(make(std::string(300, 'n') + "/sub"), ERROR_FILENAME_EXCED_RANGE);
    EXPECT_EQ(SHCreateDirectory(nullptr, L""), ERROR_BAD_PATHNAME);
    fs::create_directory(dir / "ro");
    fs::permissions(dir / "ro", fs::perms::owner_read | fs::perms::owner_exec);
    if (!std::ofstream(dir / "ro" / "probe")) {  // permissions hold for this user
        EXPECT_EQ(make("ro/sub"), ERROR_ACCESS_DENIED);
    }
}

}  // namespace

// Win32 stand-ins: code pages, last error and its texts, safe strings, shell helpers.

#include <cstdlib>
#include <fstream>
#include <thread>

#include "platform/errors.h"
#include "platform/shell.h"
#include "platform/text.h"
#include "tests/support/support.h"

namespace {

using namespace cab::test;

using cab::AcpToWide, cab::WideToAcp;

// File names on POSIX are bytes; a name that is not UTF-8 must come back byte for byte.
TEST(CodePage, UndecodableBytesRoundTrip) {
    EXPECT_EQ(AcpToWide("caf\xc3\xa9\xf0\x9f\x98\x80"), L"caf\u00e9\U0001F600");
    EXPECT_EQ(AcpToWide("a\xe9z"), std::wstring(L"a") + static_cast<wchar_t>(0xDCE9) + L"z");
    // Overlong '/', a surrogate, a cut sequence, a code point past the last.
    for (const std::string bytes : {"\xff", "\xc0\xaf", "\xed\xa0\x80", "\xe2\x82",
                                    "\xf4\x90\x80\x80", "\x80\x80\xbf", "ok\xc3\xa9\xc3"}) {
        EXPECT_EQ(WideToAcp(AcpToWide(bytes)), bytes);
    }
    // Every short mix of valid and invalid sequences survives.
    Rng gen(12345);
    const unsigned char pick[] = {0x41, 0x80, 0xbf, 0xc2, 0xc3, 0xe0, 0xe2,
                                  0xed, 0xf0, 0xf4, 0xff, 0xa0, 0x9f, 0x8f};
    for (int round = 0; round < 5000; ++round) {
        std::string bytes;
        for (int i = 0; i <= round % 7; ++i)
            bytes.push_back(static_cast<char>(pick[gen.Next() % std::size(pick)]));
        ASSERT_EQ(WideToAcp(AcpToWide(bytes)), bytes) << round;
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

// Every code the errno mapping can give has a text (the report's texts are the diagnostics').
TEST(FormatMessage, EveryMappedErrnoHasAText) {
    char buffer[256];
    for (int err = 0; err < 135; ++err) {
        EXPECT_GT(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, cab::Win32ErrorFromErrno(err),
                                 0, buffer, sizeof(buffer), nullptr),
                  0u)
            << err;
    }
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

TEST(Shell, ExpandsSetVariablesOnly) {
    setenv("CABMGR_TEST_VAR", "/data\xe9", 1);
    unsetenv("CABMGR_TEST_UNSET");
    const std::pair<const wchar_t *, std::wstring> cases[] = {
        {L"%CABMGR_TEST_VAR%/x", AcpToWide("/data\xe9") + L"/x"},
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

// Success and "already there" let a caller go on; anything else names why not.
TEST(Shell, CreatesEveryMissingLevelOrSaysWhyNot) {
    Scratch scratch("platform");
    const fs::path dir = scratch.path();
    auto make = [&dir](const std::string &leaf) {
        return SHCreateDirectory(nullptr, AcpToWide((dir / leaf).string()).c_str());
    };
    WriteFile(dir / "file", "x");
    fs::create_directory(dir / "ro");
    fs::permissions(dir / "ro", fs::perms::owner_read | fs::perms::owner_exec);
    const bool ro_holds = !std::ofstream(dir / "ro" / "probe");  // not for root
    const std::pair<std::string, int> cases[] = {
        {"a//b/c", ERROR_SUCCESS},
        {"a/b/c/", ERROR_ALREADY_EXISTS},
        {"n\xe9", ERROR_SUCCESS},  // created under its own bytes
        {"file", ERROR_DIRECTORY},
        {"file/sub", ERROR_PATH_NOT_FOUND},
        {std::string(300, 'n') + "/sub", ERROR_FILENAME_EXCED_RANGE},
        {"ro/sub", ro_holds ? ERROR_ACCESS_DENIED : ERROR_SUCCESS},
    };
    for (const auto &[leaf, want] : cases)
        EXPECT_EQ(make(leaf), want) << leaf;
    EXPECT_TRUE(fs::is_directory(dir / "a/b/c"));
    EXPECT_TRUE(fs::is_directory(dir / "n\xe9"));
    EXPECT_FALSE(PathIsDirectoryW(AcpToWide((dir / "file").string()).c_str()));
    EXPECT_EQ(SHCreateDirectory(nullptr, L""), ERROR_BAD_PATHNAME);
}

}  // namespace

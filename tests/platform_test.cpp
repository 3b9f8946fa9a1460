#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/errors.h"
#include "platform/shell.h"
#include "platform/strings.h"
#include "platform/sync.h"

namespace fs = std::filesystem;

namespace {

std::string Narrow(const std::wstring &wide) {
    int n = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, out.data(), n, nullptr, nullptr), n);
    out.pop_back();
    return out;
}

std::wstring Wide(const std::string &narrow) {
    int n =
        MultiByteToWideChar(CP_ACP, 0, narrow.data(), static_cast<int>(narrow.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, narrow.data(), static_cast<int>(narrow.size()),
                                  out.data(), n),
              n);
    return out;
}

class TempDir {
public:
    TempDir() {
        static int counter = 0;
        path_ = fs::temp_directory_path() / ("cabmgr_platform_" + std::to_string(std::rand()) +
                                             "_" + std::to_string(++counter));
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(path_, ec);
    }
    const fs::path &path() const { return path_; }
    std::wstring Wpath(const std::string &leaf = "") const {
        return Wide(leaf.empty() ? path_.string() : (path_ / leaf).string());
    }

private:
    fs::path path_;
};

// Capacity counts the terminator: a text of cap-1 bytes fits, one of cap bytes must fail with
// the insufficient-buffer error rather than come back cut.
TEST(CodePage, CapacityCountsTheTerminator) {
    char buffer[260];
    std::wstring fits(259, L'a');
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, fits.c_str(), -1, buffer, 260, nullptr, nullptr), 260);
    EXPECT_EQ(std::string(buffer), std::string(259, 'a'));

    std::wstring too_long(260, L'a');
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, too_long.c_str(), -1, buffer, 260, nullptr, nullptr),
              0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

    // Multi-byte characters count in bytes: 129 two-byte characters plus terminator is 259.
    std::wstring accents(129, L'\u00e9');
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, accents.c_str(), -1, buffer, 260, nullptr, nullptr),
              259);
    accents.push_back(L'\u00e9');
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, accents.c_str(), -1, buffer, 260, nullptr, nullptr),
              0);

    // A size query writes nothing and tells the size, terminator included.
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, L"\u20ac", -1, nullptr, 0, nullptr, nullptr), 4);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, L"\u20ac", 1, nullptr, 0, nullptr, nullptr), 3);

    wchar_t wide[4];
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", -1, wide, 4), 4);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abcd", -1, wide, 4), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST(CodePage, RejectsBadArgumentsAndFlags) {
    char buffer[8];
    wchar_t wide[8];
    struct Case {
        int result;
        DWORD error;
    } cases[] = {
        {WideCharToMultiByte(CP_ACP, 0, nullptr, -1, buffer, 8, nullptr, nullptr),
         ERROR_INVALID_PARAMETER},
        {WideCharToMultiByte(CP_ACP, 0, L"a", 0, buffer, 8, nullptr, nullptr),
         ERROR_INVALID_PARAMETER},
        {WideCharToMultiByte(CP_ACP, 0, L"a", -2, buffer, 8, nullptr, nullptr),
         ERROR_INVALID_PARAMETER},
        {WideCharToMultiByte(CP_ACP, 0, L"a", -1, nullptr, 8, nullptr, nullptr),
         ERROR_INVALID_PARAMETER},
        {WideCharToMultiByte(437, 0, L"a", -1, buffer, 8, nullptr, nullptr),
         ERROR_INVALID_PARAMETER},
        {WideCharToMultiByte(CP_UTF8, WC_COMPOSITECHECK, L"a", -1, buffer, 8, nullptr, nullptr),
         ERROR_INVALID_FLAGS},
        {WideCharToMultiByte(CP_UTF8, 0, L"a", -1, buffer, 8, "?", nullptr),
         ERROR_INVALID_PARAMETER},
        {MultiByteToWideChar(CP_ACP, 0, nullptr, -1, wide, 8), ERROR_INVALID_PARAMETER},
        {MultiByteToWideChar(CP_ACP, 0, "a", 0, wide, 8), ERROR_INVALID_PARAMETER},
        {MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED | MB_COMPOSITE, "a", -1, wide, 8),
         ERROR_INVALID_FLAGS},
        {MultiByteToWideChar(CP_UTF8, MB_PRECOMPOSED, "a", -1, wide, 8), ERROR_INVALID_FLAGS},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(cases[i].result, 0) << i;
    }
    // Each call sets the error; check the last one and one that needs the table above.
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "a", -1, wide, -1), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    // The flags the manager passes with the ANSI code page are accepted.
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, WC_COMPOSITECHECK | WC_NO_BEST_FIT_CHARS, L"a", -1,
                                  buffer, 8, nullptr, nullptr),
              2);
}

TEST(CodePage, DecodesValidUtf8) {
    EXPECT_EQ(Wide("caf\xc3\xa9"), L"caf\u00e9");
    EXPECT_EQ(Wide("\xe2\x82\xac"), L"\u20ac");
    EXPECT_EQ(Wide("\xf0\x9f\x98\x80"), std::wstring(1, static_cast<wchar_t>(0x1F600)));
    EXPECT_EQ(Narrow(std::wstring(1, static_cast<wchar_t>(0x10FFFF))), "\xf4\x8f\xbf\xbf");
}

// File names on POSIX are bytes; a name that is not UTF-8 must come back byte for byte.
TEST(CodePage, UndecodableBytesRoundTrip) {
    const std::string cases[] = {
        "\xff",         "caf\xe9.txt",    "\xc0\xaf",          // overlong '/'
        "\xed\xa0\x80", "\xe2\x82",       "\xf4\x90\x80\x80",  // surrogate, cut, too big
        "\x80\x80\xbf", "ok\xc3\xa9\xc3", "\xf0\x9f\x98",
    };
    for (const auto &bytes : cases) {
        std::wstring wide = Wide(bytes);
        for (wchar_t c : wide) {
            EXPECT_FALSE(c >= 0xD800 && c < 0xDC80) << bytes;
        }
        EXPECT_EQ(Narrow(wide), bytes);
    }
    EXPECT_EQ(Wide("a\xe9z"), std::wstring(L"a") + static_cast<wchar_t>(0xDCE9) + L"z");

    // Every short byte string survives, whatever mix of valid and invalid sequences it holds.
    unsigned state = 12345;
    for (int round = 0; round < 5000; ++round) {
        std::string bytes;
        const int length = 1 + round % 7;
        for (int i = 0; i < length; ++i) {
            state = state * 1103515245u + 12345u;
            const unsigned char pick[] = {0x41, 0x80, 0xbf, 0xc2, 0xc3, 0xe0, 0xe2,
                                          0xed, 0xf0, 0xf4, 0xff, 0xa0, 0x9f, 0x8f};
            bytes.push_back(static_cast<char>(pick[(state >> 16) % std::size(pick)]));
        }
        ASSERT_EQ(Narrow(Wide(bytes)), bytes) << round;
    }
}

TEST(CodePage, StrictModesRefuseWhatCannotConvert) {
    wchar_t wide[8];
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, "a\xff", -1, wide, 8), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));

    const wchar_t lone[] = {L'a', static_cast<wchar_t>(0xD800), 0};
    char buffer[8];
    EXPECT_EQ(
        WideCharToMultiByte(CP_ACP, WC_ERR_INVALID_CHARS, lone, -1, buffer, 8, nullptr, nullptr),
        0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));

    std::string exact;
    EXPECT_FALSE(cab::WideToAcpExact(lone, &exact));
    EXPECT_FALSE(cab::WideToAcpExact(std::wstring(L"a\0b", 3), &exact));
    EXPECT_TRUE(cab::WideToAcpExact(L"\u00e9", &exact));
    EXPECT_EQ(exact, "\xc3\xa9");
}

TEST(CodePage, UnencodableUnitsBecomeTheDefaultCharacter) {
    const wchar_t text[] = {L'x',
                            static_cast<wchar_t>(0xD801),
                            static_cast<wchar_t>(0xDC10),
                            static_cast<wchar_t>(0x110000),
                            L'y',
                            0};
    char buffer[16];
    BOOL used = FALSE;
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, text, -1, buffer, 16, nullptr, &used), 6);
    EXPECT_STREQ(buffer, "x???y");
    EXPECT_TRUE(used);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, text, -1, buffer, 16, "#", nullptr), 6);
    EXPECT_STREQ(buffer, "x###y");
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, 16, nullptr, nullptr), 12);
    EXPECT_STREQ(buffer, "x\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbdy");
    EXPECT_EQ(cab::WideToAcp(text), "x???y");
}

TEST(CodePage, Windows1252) {
    EXPECT_EQ(MultiByteToWideChar(CP_WINDOWS_1252, 0, "\x80\x81\xe9", 3, nullptr, 0), 3);
    wchar_t wide[3];
    MultiByteToWideChar(CP_WINDOWS_1252, 0, "\x80\x81\xe9", 3, wide, 3);
    EXPECT_EQ(std::wstring(wide, 3), L"\u20ac\u0081\u00e9");
    char narrow[4];
    EXPECT_EQ(WideCharToMultiByte(CP_WINDOWS_1252, 0, L"\u20ac\u00e9\u4e00", -1, narrow, 4, nullptr,
                                  nullptr),
              4);
    EXPECT_STREQ(narrow, "\x80\xe9?");
}

TEST(LastError, IsPerThread) {
    SetLastError(ERROR_ACCESS_DENIED);
    DWORD seen = 1;
    std::thread([&] {
        seen = GetLastError();
        SetLastError(ERROR_DISK_FULL);
    }).join();
    EXPECT_EQ(seen, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST(LastError, MapsErrno) {
    EXPECT_EQ(cab::Win32ErrorFromErrno(ENOENT), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(cab::Win32ErrorFromErrno(EACCES), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(cab::Win32ErrorFromErrno(EEXIST), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(cab::Win32ErrorFromErrno(ENOSPC), static_cast<DWORD>(ERROR_DISK_FULL));
    EXPECT_EQ(cab::Win32ErrorFromErrno(ENAMETOOLONG),
              static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_EQ(cab::Win32ErrorFromErrno(EINVAL), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(cab::Win32ErrorFromErrno(ENOMEM), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));

    TempDir dir;
    const std::string missing_file = (dir.path() / "nothing").string();
    const std::string missing_folder = (dir.path() / "no" / "nothing").string();
    cab::SetLastErrorFromErrno(ENOENT, missing_file.c_str());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    cab::SetLastErrorFromErrno(ENOENT, missing_folder.c_str());
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
    char small[4];
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ACCESS_DENIED, 0, small, 4,
                             nullptr),
              0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

HRESULT PrintfW(wchar_t *dest, size_t cch, const wchar_t *format, ...) {
    va_list args;
    va_start(args, format);
    HRESULT hr = StringCchVPrintfW(dest, cch, format, args);
    va_end(args);
    return hr;
}

TEST(SafeString, CopyKeepsCapacityMinusOne) {
    char buffer[4];
    EXPECT_EQ(StringCchCopyA(buffer, 4, "abc"), S_OK);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(StringCchCopyA(buffer, 4, "abcd"), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(StringCchCopyA(buffer, 0, "a"), STRSAFE_E_INVALID_PARAMETER);
    EXPECT_EQ(StringCchCopyA(buffer, 4, nullptr), S_OK);
    EXPECT_STREQ(buffer, "");

    wchar_t wide[3];
    EXPECT_EQ(StringCchCopyW(wide, 3, L"xyz"), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_STREQ(wide, L"xy");

    char cat[6] = "ab";
    EXPECT_EQ(StringCchCatA(cat, 6, "cd"), S_OK);
    EXPECT_EQ(StringCchCatA(cat, 6, "ef"), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_STREQ(cat, "abcde");
    size_t length = 0;
    EXPECT_EQ(StringCchLengthA(cat, 6, &length), S_OK);
    EXPECT_EQ(length, 5u);
    EXPECT_EQ(StringCchLengthA(cat, 5, &length), STRSAFE_E_INVALID_PARAMETER);
}

TEST(SafeString, PrintfCutsAtCapacity) {
    char buffer[8];
    EXPECT_EQ(StringCchPrintfA(buffer, 8, "%s-%d", "abc", 123), S_OK);  // 7 characters fit
    EXPECT_STREQ(buffer, "abc-123");
    EXPECT_EQ(StringCchPrintfA(buffer, 8, "%s-%d", "abc", 1234), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_STREQ(buffer, "abc-123");

    wchar_t wide[1024];
    std::wstring long_text(1023, L'w');
    EXPECT_EQ(PrintfW(wide, 1024, L"%s", long_text.c_str()), S_OK);
    EXPECT_EQ(std::wstring(wide), long_text);
    long_text += L"xyz";
    EXPECT_EQ(PrintfW(wide, 1024, L"%s", long_text.c_str()), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::wstring(wide), long_text.substr(0, 1023));
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
    EXPECT_STREQ(wide, L"");
}

TEST(Shell, ExpandsEnvironmentReferences) {
    setenv("CABMGR_TEST_VAR", "/data\xe9", 1);
    unsetenv("CABMGR_TEST_UNSET");
    struct Case {
        const wchar_t *in;
        std::wstring want;
    } cases[] = {
        {L"%CABMGR_TEST_VAR%/x", Wide("/data\xe9") + L"/x"},
        {L"a%CABMGR_TEST_UNSET%b", L"a%CABMGR_TEST_UNSET%b"},
        {L"%CABMGR_TEST_UNSET%CABMGR_TEST_VAR%", L"%CABMGR_TEST_UNSET%CABMGR_TEST_VAR%"},
        {L"100% sure", L"100% sure"},
        {L"%%", L"%%"},
        {L"plain", L"plain"},
        {L"", L""},
    };
    for (const auto &c : cases) {
        DWORD needed = ExpandEnvironmentStringsW(c.in, nullptr, 0);
        EXPECT_EQ(needed, c.want.size() + 1) << c.in;
        std::wstring out(needed, L'#');
        EXPECT_EQ(ExpandEnvironmentStringsW(c.in, out.data(), needed), needed);
        EXPECT_EQ(out.c_str(), c.want) << c.in;
    }
    wchar_t small[3] = L"##";
    EXPECT_EQ(ExpandEnvironmentStringsW(L"abcd", small, 3), 5u);
    EXPECT_STREQ(small, L"##");
    EXPECT_EQ(ExpandEnvironmentStringsW(nullptr, small, 3), 0u);
}

TEST(Shell, CreatesEveryMissingLevel) {
    TempDir dir;
    EXPECT_EQ(SHCreateDirectory(nullptr, dir.Wpath("a/b/c").c_str()), 0);
    EXPECT_TRUE(fs::is_directory(dir.path() / "a/b/c"));
    EXPECT_EQ(SHCreateDirectory(nullptr, dir.Wpath("a/b/c/").c_str()), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(SHCreateDirectory(nullptr, dir.Wpath("a//d").c_str()), 0);
    EXPECT_TRUE(PathIsDirectoryW(dir.Wpath("a/d").c_str()));

    std::ofstream(dir.path() / "file").put('x');
    EXPECT_FALSE(PathIsDirectoryW(dir.Wpath("file").c_str()));
    EXPECT_FALSE(PathIsDirectoryW(dir.Wpath("none").c_str()));
    EXPECT_EQ(SHCreateDirectory(nullptr, dir.Wpath("file").c_str()), ERROR_DIRECTORY);
    EXPECT_EQ(SHCreateDirectory(nullptr, dir.Wpath("file/sub").c_str()), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(SHCreateDirectory(nullptr, L""), ERROR_BAD_PATHNAME);

    const std::wstring bad = dir.Wpath() + L"/x" + static_cast<wchar_t>(0xD800);
    EXPECT_EQ(SHCreateDirectory(nullptr, bad.c_str()), ERROR_INVALID_NAME);
    EXPECT_FALSE(fs::exists(dir.path() / "x?"));

    // A name that is not UTF-8 is created under its own bytes.
    EXPECT_EQ(SHCreateDirectory(nullptr, dir.Wpath("n\xe9").c_str()), 0);
    EXPECT_TRUE(fs::is_directory(dir.path() / "n\xe9"));
}

TEST(Shell, OverlongNameIsReported) {
    TempDir dir;
    const std::string leaf(300, 'n');
    EXPECT_EQ(SHCreateDirectory(nullptr, dir.Wpath(leaf + "/sub").c_str()),
              ERROR_FILENAME_EXCED_RANGE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
}

TEST(Shell, ReadOnlyParentIsAccessDenied) {
    TempDir dir;
    fs::create_directory(dir.path() / "ro");
    fs::permissions(dir.path() / "ro", fs::perms::owner_read | fs::perms::owner_exec);
    if (std::ofstream(dir.path() / "ro" / "probe")) {
        GTEST_SKIP() << "permissions are not enforced for this user";
    }
    EXPECT_EQ(SHCreateDirectory(nullptr, dir.Wpath("ro/sub").c_str()), ERROR_ACCESS_DENIED);
}

TEST(Shell, RemovesOneTrailingSeparatorButNotARoot) {
    struct Case {
        std::wstring in, want;
    } cases[] = {{L"a/", L"a"},  {L"a\\", L"a"}, {L"a//", L"a/"}, {L"/", L"/"},
                 {L"\\", L"\\"}, {L"a", L"a"},   {L"", L""}};
    for (auto &c : cases) {
        std::wstring path = c.in;
        PathRemoveBackslashW(path.data());
        EXPECT_EQ(std::wstring(path.c_str()), c.want) << c.in;
    }
}

TEST(Case, LowersBeyondAscii) {
    wchar_t text[] = L"\u00c9T\u00c9-\u0416z";
    EXPECT_EQ(CharLowerW(text), text);
    EXPECT_STREQ(text, L"\u00e9t\u00e9-\u0436z");
    EXPECT_EQ(StrCmpNIW(L"ABCx", L"abcy", 3), 0);
    EXPECT_LT(StrCmpNIW(L"ABCx", L"abcy", 4), 0);
    EXPECT_EQ(StrCmpNIW(L"ab", L"AB", 10), 0);
}

TEST(CriticalSection, IsReentrantAndExcludesOtherThreads) {
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    EnterCriticalSection(&cs);
    EnterCriticalSection(&cs);
    BOOL other = TRUE;
    std::thread([&] { other = TryEnterCriticalSection(&cs); }).join();
    EXPECT_FALSE(other);
    LeaveCriticalSection(&cs);
    LeaveCriticalSection(&cs);
    std::thread([&] {
        other = TryEnterCriticalSection(&cs);
        if (other) {
            LeaveCriticalSection(&cs);
        }
    }).join();
    EXPECT_TRUE(other);
    DeleteCriticalSection(&cs);
}

}  // namespace

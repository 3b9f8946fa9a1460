// File-system stand-ins: attribute mapping, local DOS times, enumeration, low-level I/O flags.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "platform/crt.h"
#include "platform/errors.h"
#include "platform/files.h"

namespace {

namespace fs = std::filesystem;

class PlatformFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() /
                ("platform_files_" + std::to_string(std::random_device{}()));
        fs::create_directories(root_);
    }
    void TearDown() override {
        std::error_code ec;
        fs::permissions(root_ / "ro", fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(root_, ec);
    }
    std::string Path(const std::string &name) const { return (root_ / name).string(); }
    void Write(const std::string &name, const std::string &data) const {
        std::ofstream(root_ / name, std::ios::binary) << data;
    }

    fs::path root_;
};

TEST_F(PlatformFilesTest, AttributesFollowOwnerWriteAndLeadingDot) {
    Write("plain.txt", "x");
    Write(".hidden", "x");
    Write("ro", "x");
    fs::create_directory(root_ / "dir");
    fs::permissions(root_ / "ro", fs::perms::owner_write | fs::perms::group_write,
                    fs::perm_options::remove);

    EXPECT_EQ(GetFileAttributesA(Path("plain.txt").c_str()), DWORD{FILE_ATTRIBUTE_ARCHIVE});
    EXPECT_EQ(GetFileAttributesA(Path(".hidden").c_str()),
              DWORD{FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN});
    EXPECT_EQ(GetFileAttributesA(Path("ro").c_str()),
              DWORD{FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY});
    EXPECT_EQ(GetFileAttributesA(Path("dir").c_str()), DWORD{FILE_ATTRIBUTE_DIRECTORY});
    EXPECT_EQ(GetFileAttributesA((Path("dir") + "/").c_str()), DWORD{FILE_ATTRIBUTE_DIRECTORY});

    EXPECT_EQ(GetFileAttributesA(Path("missing").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_FILE_NOT_FOUND});
    EXPECT_EQ(GetFileAttributesA(Path("nodir/missing").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_PATH_NOT_FOUND});
}

TEST_F(PlatformFilesTest, SetReadOnlyClearsEveryWriteBitAndClearGivesOwnerWrite) {
    Write("f", "x");
    fs::permissions(root_ / "f", fs::perms::all);
    ASSERT_TRUE(SetFileAttributesA(Path("f").c_str(), FILE_ATTRIBUTE_READONLY | 0x20));
    EXPECT_EQ(fs::status(root_ / "f").permissions(),
              fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                  fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
    ASSERT_TRUE(SetFileAttributesA(Path("f").c_str(), FILE_ATTRIBUTE_NORMAL));
    // Only the owner gets write back; group and others stay as they were.
    EXPECT_EQ(fs::status(root_ / "f").permissions() & fs::perms::all,
              fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                  fs::perms::others_read | fs::perms::others_exec);
    EXPECT_FALSE(SetFileAttributesA(Path("missing").c_str(), 0));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_FILE_NOT_FOUND});
}

// DOS times are local; a zone with daylight saving shows a UTC/local mix-up in either season.
class LocalTimeTest : public PlatformFilesTest {
protected:
    void SetUp() override {
        PlatformFilesTest::SetUp();
        const char *old = getenv("TZ");
        had_tz_ = old != nullptr;
        old_tz_ = had_tz_ ? old : "";
        setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
        tzset();
    }
    void TearDown() override {
        if (had_tz_)
            setenv("TZ", old_tz_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
        PlatformFilesTest::TearDown();
    }
    static WORD DosDate(int year, int month, int day) {
        return static_cast<WORD>(((year - 1980) << 9) | (month << 5) | day);
    }
    static WORD DosTime(int hour, int minute, int second) {
        return static_cast<WORD>((hour << 11) | (minute << 5) | (second / 2));
    }

    bool had_tz_ = false;
    std::string old_tz_;
};

TEST_F(LocalTimeTest, DosTimeSurvivesFileRoundTripInLocalTime) {
    Write("f", "x");
    struct Case {
        WORD date, time;
        time_t utc;  // the same instant as seconds since 1970 UTC
    };
    const Case cases[] = {
        {DosDate(2021, 1, 15), DosTime(10, 30, 20), 1610703020},  // CET, UTC+1
        {DosDate(2021, 7, 15), DosTime(10, 30, 20), 1626337820},  // CEST, UTC+2
        {DosDate(1980, 1, 1), DosTime(0, 0, 0), 315529200},
    };
    for (const Case &c : cases) {
        FILETIME local, utc;
        ASSERT_TRUE(DosDateTimeToFileTime(c.date, c.time, &local));
        ASSERT_TRUE(LocalFileTimeToFileTime(&local, &utc));
        HANDLE h = CreateFileA(Path("f").c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        ASSERT_TRUE(SetFileTime(h, &utc, nullptr, &utc));
        ASSERT_TRUE(CloseHandle(h));

        auto mtime = fs::last_write_time(root_ / "f");
        auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
            std::chrono::file_clock::to_sys(mtime).time_since_epoch());
        EXPECT_EQ(seconds.count(), c.utc);

        h = CreateFileA(Path("f").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        BY_HANDLE_FILE_INFORMATION info;
        ASSERT_TRUE(GetFileInformationByHandle(h, &info));
        CloseHandle(h);
        FILETIME back_local;
        WORD date = 0, time = 0;
        ASSERT_TRUE(FileTimeToLocalFileTime(&info.ftLastWriteTime, &back_local));
        ASSERT_TRUE(FileTimeToDosDateTime(&back_local, &date, &time));
        EXPECT_EQ(date, c.date);
        EXPECT_EQ(time, c.time);
    }
}

TEST_F(LocalTimeTest, OutOfRangeDosFieldsAndYearsFail) {
    FILETIME ft;
    EXPECT_FALSE(DosDateTimeToFileTime(0, 0, &ft));  // month and day 0
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
    EXPECT_FALSE(DosDateTimeToFileTime(DosDate(2021, 2, 29), 0, &ft));
    EXPECT_TRUE(DosDateTimeToFileTime(DosDate(2020, 2, 29), 0, &ft));
    EXPECT_FALSE(DosDateTimeToFileTime(DosDate(2021, 13, 1), 0, &ft));
    EXPECT_FALSE(DosDateTimeToFileTime(DosDate(2021, 1, 1), DosTime(24, 0, 0), &ft));
    EXPECT_FALSE(DosDateTimeToFileTime(DosDate(2021, 1, 1), 0x1F, &ft));  // 62 seconds

    // 1979-12-31 and 2108-01-01 have no DOS form.
    FILETIME before = {0, 0};
    WORD date, time;
    ASSERT_TRUE(DosDateTimeToFileTime(DosDate(1980, 1, 1), 0, &ft));
    uint64_t ticks = (uint64_t{ft.dwHighDateTime} << 32 | ft.dwLowDateTime) - 10000000ull;
    before.dwLowDateTime = static_cast<DWORD>(ticks);
    before.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    EXPECT_FALSE(FileTimeToDosDateTime(&before, &date, &time));
    ASSERT_TRUE(DosDateTimeToFileTime(DosDate(2107, 12, 31), DosTime(23, 59, 58), &ft));
    EXPECT_TRUE(FileTimeToDosDateTime(&ft, &date, &time));
    EXPECT_EQ(date, DosDate(2107, 12, 31));
}

TEST_F(PlatformFilesTest, FindListsDotsFollowsLinksAndSkipsSpecialFiles) {
    Write("a.txt", "abc");
    fs::create_directory(root_ / "sub");
    fs::create_symlink(root_ / "a.txt", root_ / "link_file");
    fs::create_directory_symlink(root_ / "sub", root_ / "link_dir");
    fs::create_symlink(root_ / "nowhere", root_ / "dangling");
    ASSERT_EQ(std::system(("mkfifo '" + Path("fifo") + "'").c_str()), 0);
    Write(std::string("bad\xff") + ".bin", "");

    WIN32_FIND_DATAW data;
    std::wstring pattern = fs::path(root_ / "*.*").wstring();
    HANDLE h = FindFirstFileW(pattern.c_str(), &data);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::set<std::wstring> names;
    DWORD dir_attributes = 0, file_size = 0;
    do {
        names.insert(data.cFileName);
        if (std::wstring(data.cFileName) == L"link_dir")
            dir_attributes = data.dwFileAttributes;
        if (std::wstring(data.cFileName) == L"link_file")
            file_size = data.nFileSizeLow;
    } while (FindNextFileW(h, &data));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_NO_MORE_FILES});
    EXPECT_TRUE(FindClose(h));

    std::wstring undecodable = L"bad";
    undecodable += static_cast<wchar_t>(0xDCFF);
    undecodable += L".bin";
    EXPECT_EQ(names, (std::set<std::wstring>{L".", L"..", L"a.txt", L"sub", L"link_file",
                                             L"link_dir", undecodable}));
    EXPECT_EQ(dir_attributes, DWORD{FILE_ATTRIBUTE_DIRECTORY});
    EXPECT_EQ(file_size, 3u);
}

TEST_F(PlatformFilesTest, FindAcceptsBackslashAndReportsMissingFolder) {
    Write("only", "");
    WIN32_FIND_DATAW data;
    std::wstring pattern = root_.wstring() + L"\\*.*";
    HANDLE h = FindFirstFileW(pattern.c_str(), &data);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    FindClose(h);

    pattern = (root_ / "missing" / "*.*").wstring();
    EXPECT_EQ(FindFirstFileW(pattern.c_str(), &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_PATH_NOT_FOUND});
    pattern = (root_ / "only" / "*.*").wstring();  // a file, not a folder
    EXPECT_EQ(FindFirstFileW(pattern.c_str(), &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_PATH_NOT_FOUND});
    EXPECT_FALSE(FindClose(INVALID_HANDLE_VALUE));
}

// A walker detects link loops by comparing these three numbers.
TEST_F(PlatformFilesTest, HandleIdentityIsSharedThroughLinks) {
    fs::create_directory(root_ / "sub");
    fs::create_directory_symlink(root_, root_ / "sub" / "up");
    auto identity = [](const std::string &path) {
        HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        BY_HANDLE_FILE_INFORMATION info{};
        EXPECT_TRUE(GetFileInformationByHandle(h, &info));
        CloseHandle(h);
        return std::make_tuple(info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow,
                               info.dwFileAttributes);
    };
    EXPECT_EQ(identity(Path("sub/up")), identity(root_.string()));
    EXPECT_NE(identity(Path("sub")), identity(root_.string()));
    EXPECT_EQ(
        CreateFileA(Path("missing").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
        INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_FILE_NOT_FOUND});
}

TEST_F(PlatformFilesTest, OpenMapsCrtFlags) {
    std::string f = Path("f");
    int fd = _open(f.c_str(), _O_CREAT | _O_EXCL | _O_RDWR | _O_BINARY, _S_IREAD | _S_IWRITE);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(_write(fd, "hello", 5), 5);
    EXPECT_EQ(_lseek(fd, 1, SEEK_SET), 1L);
    char buf[8] = {};
    EXPECT_EQ(_read(fd, buf, sizeof(buf)), 4);
    EXPECT_STREQ(buf, "ello");
    EXPECT_EQ(_lseek(fd, 0, SEEK_END), 5L);
    EXPECT_EQ(_close(fd), 0);
    EXPECT_NE(fs::status(f).permissions() & fs::perms::owner_write, fs::perms::none);

    // _O_EXCL: a name taken meanwhile is never reused.
    EXPECT_EQ(_open(f.c_str(), _O_CREAT | _O_EXCL | _O_RDWR, _S_IREAD | _S_IWRITE), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_ALREADY_EXISTS});

    fd = _open(f.c_str(), _O_WRONLY | _O_APPEND);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(_write(fd, "!", 1), 1);
    EXPECT_EQ(_read(fd, buf, 1), -1);  // write-only
    _close(fd);
    EXPECT_EQ(fs::file_size(f), 6u);

    fd = _open(f.c_str(), _O_WRONLY | _O_TRUNC);
    ASSERT_GE(fd, 0);
    _close(fd);
    EXPECT_EQ(fs::file_size(f), 0u);

    // Without _S_IWRITE the new file is read-only, as on Windows.
    std::string ro = Path("ro");
    fd = _open(ro.c_str(), _O_CREAT | _O_WRONLY, _S_IREAD);
    ASSERT_GE(fd, 0);
    _close(fd);
    fs::perms ro_perms = fs::status(ro).permissions();
    EXPECT_NE(ro_perms & fs::perms::owner_read, fs::perms::none);
    EXPECT_EQ(ro_perms & (fs::perms::owner_write | fs::perms::group_write |
                          fs::perms::others_write | fs::perms::owner_exec),
              fs::perms::none);

    EXPECT_EQ(_open(root_.c_str(), _O_RDONLY), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(_open(f.c_str(), 3), -1);  // no such access mode
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(_open(Path("missing").c_str(), _O_RDONLY), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(_lseek(-1, 0, SEEK_SET), -1L);
    EXPECT_EQ(_close(-1), -1);
}

TEST_F(PlatformFilesTest, TempNamesAreFreshAndInTmpdir) {
    const char *old = getenv("TMPDIR");
    std::string saved = old != nullptr ? old : "";
    setenv("TMPDIR", root_.c_str(), 1);
    std::set<std::string> names;
    for (int i = 0; i < 200; ++i) {
        char *name = _tempnam("", "KWB_");
        ASSERT_NE(name, nullptr);
        std::string s = name;
        free(name);
        EXPECT_EQ(s.rfind(root_.string() + "/KWB_", 0), 0u) << s;
        EXPECT_FALSE(fs::exists(s));
        names.insert(s);
        Write(fs::path(s).filename().string(), "");  // taken names must not come back
    }
    EXPECT_EQ(names.size(), 200u);

    wchar_t buf[MAX_PATH];
    DWORD n = GetTempPathW(MAX_PATH, buf);
    EXPECT_EQ(std::wstring(buf), root_.wstring() + L"/");
    EXPECT_EQ(n, root_.wstring().size() + 1);
    EXPECT_EQ(GetTempPathW(2, buf), n + 1);  // too small: the size needed

    setenv("TMPDIR", (root_ / "not-there").c_str(), 1);
    char *name = _tempnam(root_.c_str(), "x");
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(fs::path(name).parent_path(), root_);
    free(name);
    unsetenv("TMPDIR");
    EXPECT_EQ(GetTempPathW(MAX_PATH, buf), 5u);
    EXPECT_EQ(std::wstring(buf), L"/tmp/");
    if (old != nullptr)
        setenv("TMPDIR", saved.c_str(), 1);
}

TEST_F(PlatformFilesTest, ExistsAndDelete) {
    Write("f", "");
    EXPECT_TRUE(PathFileExistsA(Path("f").c_str()));
    EXPECT_TRUE(PathFileExistsW(fs::path(root_ / "f").wstring().c_str()));
    EXPECT_TRUE(PathFileExistsW(root_.wstring().c_str()));
    EXPECT_TRUE(DeleteFileA(Path("f").c_str()));
    EXPECT_FALSE(PathFileExistsA(Path("f").c_str()));
    EXPECT_FALSE(DeleteFileA(Path("f").c_str()));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_FILE_NOT_FOUND});
    EXPECT_FALSE(DeleteFileA(root_.c_str()));  // folders are not files
}

// List files: UTF-8 lines and Windows line ends come through; a file that is not UTF-8 is
// refused whole instead of ending early at its first bad byte.
TEST_F(PlatformFilesTest, TextReadingDecodesUtf8AndWindowsLineEnds) {
    Write("list.txt", "a\r\n\xc3\xa9\n\r\n\xf0\x9f\x99\x82\r\rlast");
    FILE *file = _wfopen(fs::path(root_ / "list.txt").wstring().c_str(), L"r");
    ASSERT_NE(file, nullptr);
    std::vector<std::wstring> lines;
    wchar_t line[MAX_PATH];
    while (fgetws(line, MAX_PATH, file) != nullptr)
        lines.push_back(line);
    fclose(file);
    EXPECT_EQ(lines,
              (std::vector<std::wstring>{L"a\n", L"\u00e9\n", L"\n", L"\U0001F642\r\rlast"}));

    Write("bad.txt", "good\nbad\xff\n");
    EXPECT_EQ(_wfopen(fs::path(root_ / "bad.txt").wstring().c_str(), L"r"), nullptr);
    EXPECT_EQ(errno, EILSEQ);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_NO_UNICODE_TRANSLATION});
    EXPECT_EQ(_wfopen(fs::path(root_ / "missing").wstring().c_str(), L"r"), nullptr);
    EXPECT_EQ(errno, ENOENT);
}

}  // namespace

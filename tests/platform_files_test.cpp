// File-system stand-ins: attribute mapping, local DOS times, enumeration, low-level I/O flags.

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <tuple>

#include "cabinet/format/cab_format.h"
#include "platform/crt.h"
#include "platform/errors.h"
#include "platform/file_times.h"
#include "platform/files.h"
#include "platform/folder_listing.h"
#include "tests/support/support.h"

namespace {

using namespace cab::test;

class PlatformFilesTest : public ::testing::Test {
protected:
    std::string Path(const std::string &name) const { return (root_ / name).string(); }
    void Write(const std::string &name, const std::string &data) const {
        WriteFile(root_ / name, data);
    }

    Scratch scratch_{"platform_files"};
    fs::path root_ = scratch_.path();
};

// Read-only follows the write bits, hidden a leading dot; clearing read-only gives back only
// the owner's write bit.
TEST_F(PlatformFilesTest, AttributesFollowWriteBitsAndLeadingDot) {
    Write("plain.txt", "x");
    Write(".hidden", "x");
    Write("ro", "x");
    fs::create_directory(root_ / "dir");
    fs::permissions(root_ / "ro", fs::perms::all);
    ASSERT_TRUE(SetFileAttributesA(Path("ro").c_str(), FILE_ATTRIBUTE_READONLY | 0x20));
    EXPECT_EQ(fs::status(root_ / "ro").permissions(),
              fs::perms::all &
                  ~(fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write));
    const std::pair<std::string, DWORD> cases[] = {
        {"plain.txt", FILE_ATTRIBUTE_ARCHIVE},
        {".hidden", FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN},
        {"ro", FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY},
        {"dir/", FILE_ATTRIBUTE_DIRECTORY},
    };
    for (const auto &[name, want] : cases)
        EXPECT_EQ(GetFileAttributesA(Path(name).c_str()), want) << name;
    ASSERT_TRUE(SetFileAttributesA(Path("ro").c_str(), FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(fs::status(root_ / "ro").permissions(),
              fs::perms::all & ~(fs::perms::group_write | fs::perms::others_write));

    EXPECT_EQ(GetFileAttributesA(Path("missing").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_FILE_NOT_FOUND});
    EXPECT_EQ(GetFileAttributesA(Path("nodir/missing").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_PATH_NOT_FOUND});
}

using cab::PackDosDate, cab::PackDosTime;

// DOS times are local; a zone with daylight saving shows a UTC/local mix-up in either season.
TEST_F(PlatformFilesTest, DosTimeSurvivesFileRoundTripInLocalTime) {
    ScopedEnv zone("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
    tzset();
    Write("f", "x");
    const std::tuple<WORD, WORD, time_t> cases[] = {
        {PackDosDate(2021, 1, 15), PackDosTime(10, 30, 20), 1610703020},  // CET, UTC+1
        {PackDosDate(2021, 7, 15), PackDosTime(10, 30, 20), 1626337820},  // CEST, UTC+2
        {PackDosDate(1980, 1, 1), PackDosTime(0, 0, 0), 315529200},
    };
    for (const auto &[dos_date, dos_time, utc_seconds] : cases) {
        FILETIME local, utc;
        ASSERT_TRUE(DosDateTimeToFileTime(dos_date, dos_time, &local));
        ASSERT_TRUE(LocalFileTimeToFileTime(&local, &utc));
        HANDLE h = CreateFileA(Path("f").c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        ASSERT_TRUE(SetFileTime(h, &utc, nullptr, &utc));
        BY_HANDLE_FILE_INFORMATION info;
        ASSERT_TRUE(GetFileInformationByHandle(h, &info));
        CloseHandle(h);
        auto mtime = std::chrono::file_clock::to_sys(fs::last_write_time(root_ / "f"));
        EXPECT_EQ(
            std::chrono::duration_cast<std::chrono::seconds>(mtime.time_since_epoch()).count(),
            utc_seconds);
        WORD date = 0, time = 0;
        ASSERT_TRUE(FileTimeToLocalFileTime(&info.ftLastWriteTime, &local));
        ASSERT_TRUE(FileTimeToDosDateTime(&local, &date, &time));
        EXPECT_EQ(date, dos_date);
        EXPECT_EQ(time, dos_time);
    }
    FILETIME ft;
    EXPECT_FALSE(DosDateTimeToFileTime(PackDosDate(2021, 2, 29), 0, &ft));
    EXPECT_TRUE(DosDateTimeToFileTime(PackDosDate(2020, 2, 29), 0, &ft));
    EXPECT_FALSE(DosDateTimeToFileTime(PackDosDate(2021, 1, 1), PackDosTime(24, 0, 0), &ft));
}

TEST_F(PlatformFilesTest, FindListsDotsFollowsLinksMarksDanglingOnesAndSkipsSpecialFiles) {
    Write("a.txt", "abc");
    fs::create_directory(root_ / "sub");
    fs::create_symlink(root_ / "a.txt", root_ / "link_file");
    fs::create_directory_symlink(root_ / "sub", root_ / "link_dir");
    fs::create_symlink(root_ / "nowhere", root_ / "dangling");
    ASSERT_EQ(std::system(("mkfifo '" + Path("fifo") + "'").c_str()), 0);
    Write("bad\xff.bin", "");

    WIN32_FIND_DATAW data;
    // Either separator may precede the pattern.
    HANDLE h = FindFirstFileW((root_.wstring() + L"\\*.*").c_str(), &data);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::map<std::wstring, DWORD> found;  // name -> attributes, links followed
    do {
        found[data.cFileName] = data.dwFileAttributes;
    } while (FindNextFileW(h, &data));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_NO_MORE_FILES});
    EXPECT_TRUE(FindClose(h));
    const std::wstring undecodable = std::wstring(L"bad") + static_cast<wchar_t>(0xDCFF) + L".bin";
    const DWORD file = FILE_ATTRIBUTE_ARCHIVE, dir = FILE_ATTRIBUTE_DIRECTORY;
    EXPECT_EQ(found, (std::map<std::wstring, DWORD>{{L".", dir},
                                                    {L"..", dir},
                                                    {L"a.txt", file},
                                                    {L"sub", dir},
                                                    {L"link_file", file},
                                                    {L"link_dir", dir},
                                                    {L"dangling", FILE_ATTRIBUTE_REPARSE_POINT},
                                                    {undecodable, file}}));
    for (const char *folder : {"missing", "a.txt"}) {
        EXPECT_EQ(FindFirstFileW((root_ / folder / "*.*").wstring().c_str(), &data),
                  INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), DWORD{ERROR_PATH_NOT_FOUND});
    }
}

TEST_F(PlatformFilesTest, OpenMapsCrtFlags) {
    std::string f = Path("f");
    int fd = _open(f.c_str(), _O_CREAT | _O_EXCL | _O_RDWR | _O_BINARY, _S_IREAD | _S_IWRITE);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(_write(fd, "hello", 5), 5);
    EXPECT_EQ(_close(fd), 0);
    // _O_EXCL: a name taken meanwhile is never reused.
    EXPECT_EQ(_open(f.c_str(), _O_CREAT | _O_EXCL | _O_RDWR, _S_IREAD | _S_IWRITE), -1);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_ALREADY_EXISTS});

    // Without _S_IWRITE the new file is read-only, as on Windows.
    fd = _open(Path("ro").c_str(), _O_CREAT | _O_WRONLY, _S_IREAD);
    ASSERT_GE(fd, 0);
    _close(fd);
    EXPECT_EQ(
        fs::status(root_ / "ro").permissions() & (fs::perms::all & ~fs::perms::owner_read &
                                                  ~fs::perms::group_read & ~fs::perms::others_read),
        fs::perms::none);
    EXPECT_EQ(_open(root_.c_str(), _O_RDONLY), -1);  // folders are not files
    EXPECT_EQ(errno, EACCES);

    // Closing a list in runs closes none between them that it does not name.
    int fds[5];
    for (int &each : fds)
        ASSERT_GE(each = _open(f.c_str(), _O_RDONLY), 0);
    int listed[] = {fds[4], fds[0], fds[2], fds[1]};
    cab::CloseDescriptors(listed, 4);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(_lseek(fds[i], 0, SEEK_SET), i == 3 ? 0 : -1) << i;
    _close(fds[3]);
}

TEST_F(PlatformFilesTest, TempNamesAreFreshAndInTmpdir) {
    ScopedEnv tmpdir("TMPDIR", root_.c_str());
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
    EXPECT_EQ(GetTempPathW(MAX_PATH, buf), root_.wstring().size() + 1);
    EXPECT_EQ(std::wstring(buf), root_.wstring() + L"/");
}

}  // namespace

// The cabinet manager: file records, folder walk, compression, extraction, spanning sets,
// coalescing, the callback bridge, cancel and progress.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "cabmanager/CabManager.h"
#include "platform/files.h"
#include "tests/cabmanager_test_util.h"

namespace {

using namespace cab::test;
// A report line (or part of one) that the captured output must hold. "{F}[FAIL] M" stands for
// the line of function F with message M, whatever the file and line in between.
::testing::AssertionResult Reported(const std::string &text, const std::string &part) {
    std::string function;
    std::string rest = part;
    if (part.size() > 1 && part[0] == '{') {
        size_t close = part.find('}');
        function = part.substr(0, close + 1);
        rest = part.substr(close + 1);
    }
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        size_t at = function.empty() ? 0 : line.find(function);
        if (at != std::string::npos && line.find(rest, at) != std::string::npos) {
            return ::testing::AssertionSuccess();
        }
        start = end + 1;
    }
    return ::testing::AssertionFailure() << "missing: " << part << "\nin:\n" << text;
}
#define EXPECT_REPORTED(text, part) EXPECT_TRUE(Reported((text), (part)))

class CabManagerTest : public ::testing::Test {
protected:
    // a.txt, empty.txt, sub/b.txt, sub/deeper/c.txt: the tree most cases pack.
    fs::path MakeTree(const std::string &name) {
        fs::path root = dir_ / name;
        WriteFile(root / "a.txt", "alpha alpha alpha");
        WriteFile(root / "empty.txt", "");
        WriteFile(root / "sub" / "b.txt", RandomBytes(70000, 1));
        WriteFile(root / "sub" / "deeper" / "c.txt", std::string(100000, 'c'));
        return root;
    }

    // Packs a folder tree into a cabinet; the manager's list is what it stored.
    void Pack(OpenManager &manager, const std::wstring &folder, const fs::path &cab) {
        CapturedReports reports;
        ASSERT_EQ(manager.CompressFilesInFolder(folder.c_str(), W(cab).c_str(), 0, 1), S_OK)
            << reports.Take();
    }
    void Pack(OpenManager &manager, const fs::path &folder, const fs::path &cab) {
        Pack(manager, W(folder), cab);
    }

    // A cabinet holding the given names, each a small file of its own.
    fs::path PackNames(const std::vector<std::string> &names, const std::string &cab_name) {
        OpenManager manager;
        fs::path source = dir_ / ("src_" + cab_name);
        int index = 0;
        for (const std::string &name : names) {
            fs::path file = source / std::to_string(index++);
            WriteFile(file, "data of " + name);
            EXPECT_EQ(manager.AddFileToCompress(W(file).c_str(), cab::AcpToWide(name).c_str()),
                      S_OK);
        }
        fs::path cab = dir_ / cab_name;
        int added = 0;
        CapturedReports reports;
        EXPECT_EQ(manager.CompressFiles(W(cab).c_str(), 0, &added), S_OK) << reports.Take();
        EXPECT_EQ(added, static_cast<int>(names.size()));
        return cab;
    }

    HRESULT Unpack(CCabManager &manager, const fs::path &cab, const fs::path &dest,
                   const wchar_t *filters = nullptr, std::string *reports_out = nullptr) {
        std::wstring out_folder;
        CapturedReports reports;
        HRESULT hr =
            manager.DecompressCabFile(W(cab).c_str(), W(dest).c_str(), filters, &out_folder);
        if (reports_out != nullptr)
            *reports_out = reports.Take();
        return hr;
    }

    ScratchDir dir_;
};

// --- File records and the list -------------------------------------------------------------

// Without a name the narrow form keeps everything after the first separator (extracted files
// are recorded so), the wide form only the file's own name.
TEST(FileRecord, NarrowAndWideFormsDeriveDifferentNames) {
    CFileInCab narrow;
    ASSERT_EQ(narrow.Initialize("/out/sub/b.txt", static_cast<const char *>(nullptr)), S_OK);
    EXPECT_STREQ(narrow.szFilePath, "/out/sub/b.txt");
    EXPECT_STREQ(narrow.szNameInCab, "out\\sub\\b.txt");
    ASSERT_EQ(narrow.Initialize("C:\\out\\b.txt", static_cast<const char *>(nullptr)), S_OK);
    EXPECT_STREQ(narrow.szNameInCab, "out\\b.txt");
    // Only a null name is absent for the narrow form.
    ASSERT_EQ(narrow.Initialize("/out/b.txt", ""), S_OK);
    EXPECT_STREQ(narrow.szNameInCab, "");

    CFileInCab wide;
    ASSERT_EQ(wide.Initialize(L"/out/sub/b.txt", static_cast<const wchar_t *>(nullptr)), S_OK);
    EXPECT_STREQ(wide.szNameInCab, "b.txt");
    ASSERT_EQ(wide.Initialize(L"C:\\out\\sub\\b.txt", L""), S_OK);
    EXPECT_STREQ(wide.szNameInCab, "b.txt");
    // A given name keeps its folders, with the cabinet's separator.
    ASSERT_EQ(wide.Initialize(L"/out/sub/b.txt", L"sub/b.txt"), S_OK);
    EXPECT_STREQ(wide.szNameInCab, "sub\\b.txt");
}

TEST(FileRecord, PathWithoutSeparatorNeedsAName) {
    CapturedReports reports;
    CFileInCab file;
    EXPECT_EQ(file.Initialize("a.txt", static_cast<const char *>(nullptr)), E_FAIL);
    EXPECT_EQ(file.Initialize(L"a.txt", static_cast<const wchar_t *>(nullptr)), E_FAIL);
    EXPECT_EQ(file.Initialize(L"a.txt", L"given.txt"), S_OK);
    const std::string &text = reports.Take();
    EXPECT_REPORTED(text, "{CFileInCab::Initialize}");
    EXPECT_REPORTED(text, "[FAIL] Invalid file path");
}

// 259 bytes of text fit the record; 260 do not, counted in bytes of the ANSI form.
TEST(FileRecord, LimitsAreCountedInAnsiBytes) {
    CapturedReports reports;
    CFileInCab file;
    std::string narrow259 = "/" + std::string(258, 'n');
    EXPECT_EQ(file.Initialize(narrow259.c_str(), "x"), S_OK);
    std::string narrow260 = narrow259 + "n";
    EXPECT_EQ(file.Initialize(narrow260.c_str(), "x"), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::string(file.szFilePath), narrow259);

    // U+00E9 takes two bytes: 1 + 129 * 2 = 259.
    std::wstring wide259 = L"/" + std::wstring(129, L'\u00e9');
    EXPECT_EQ(file.Initialize(wide259.c_str(), L"x"), S_OK);
    EXPECT_EQ(strlen(file.szFilePath), 259u);
    EXPECT_EQ(file.Initialize((wide259 + L"e").c_str(), L"x"), E_FAIL);
    EXPECT_EQ(file.Initialize(L"/x", std::wstring(130, L'\u00e9').c_str()), E_FAIL);
    EXPECT_REPORTED(reports.Take(), "ConvertWSTRToPSTR failed");
}

TEST(FileList, AddsInOrderAndCountsOnlyWhatItAdds) {
    OpenManager manager;
    EXPECT_EQ(manager.AddFileToCompress(L"/dir/a.txt", nullptr), S_OK);
    EXPECT_EQ(manager.AddFileToCompress(L"/dir/a.txt", L"sub\\a.txt"), S_OK);
    EXPECT_EQ(manager.AddFileToCompress(L"/no/such/file", L""), S_OK);
    {
        CapturedReports reports;
        EXPECT_EQ(manager.AddFileToCompress(L"a.txt", nullptr), E_FAIL);
        const std::string &text = reports.Take();
        EXPECT_REPORTED(text, "Invalid file path");
        EXPECT_REPORTED(text, "{CCabManager::AddFileToCompress}[FAIL] file.Initialize failed");
    }
    EXPECT_EQ(manager.Names(), (std::vector<std::string>{"a.txt", "sub\\a.txt", "file"}));
    EXPECT_EQ(manager.m_cTotalFiles, 3);
    manager.EmptyFileList();
    EXPECT_TRUE(manager.m_vecFiles.empty());
    EXPECT_EQ(manager.m_cTotalFiles, 3);
}

// --- Splitting, settings, names of further cabinets, error texts ----------------------------

TEST(CabSettings, SplitCabPathKeepsSeparatorWithFolder) {
    char folder[MAX_PATH];
    char name[MAX_PATH];
    EXPECT_EQ(CCabManager::SplitCabPath(L"/out/my.data.cab", folder, MAX_PATH, name, MAX_PATH),
              S_OK);
    EXPECT_STREQ(folder, "/out/");
    EXPECT_STREQ(name, "my.data.cab");
    EXPECT_EQ(CCabManager::SplitCabPath(L"C:\\out\\x.cab", folder, MAX_PATH, name, MAX_PATH), S_OK);
    EXPECT_STREQ(folder, "C:\\out\\");
    EXPECT_EQ(CCabManager::SplitCabPath(L"/out/", folder, MAX_PATH, name, MAX_PATH), S_OK);
    EXPECT_STREQ(name, "");

    CapturedReports reports;
    EXPECT_EQ(CCabManager::SplitCabPath(L"out.cab", folder, MAX_PATH, name, MAX_PATH), E_FAIL);
    EXPECT_EQ(CCabManager::SplitCabPath(L"/abc/x.cab", folder, 5, name, MAX_PATH),
              STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(CCabManager::SplitCabPath(L"/a/long.cab", folder, MAX_PATH, name, 4),
              STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(CCabManager::SplitCabPath((L"/" + std::wstring(259, L'x')).c_str(), folder, MAX_PATH,
                                        name, MAX_PATH),
              E_FAIL);
    const std::string &text = reports.Take();
    EXPECT_REPORTED(text, "{CCabManager::SplitCabPath}[FAIL] Invalid file name");
    EXPECT_REPORTED(text, "[FAIL] StringCchCopyN failed");
    EXPECT_REPORTED(text, "[FAIL] StringCchCopy failed");
    EXPECT_REPORTED(text, "[FAIL] ConvertWSTRToPSTR failed");
}

TEST(CabSettings, SettingsIgnoreTheirParameterAndRefuseLongParts) {
    OpenManager manager;
    ASSERT_EQ(manager.SetCabSettings("/out/", "my.cab", 0), S_OK);
    CCAB first = manager.m_ccab;
    ASSERT_EQ(manager.SetCabSettings("/out/", "my.cab", 1), S_OK);
    EXPECT_EQ(memcmp(&first, &manager.m_ccab, sizeof(CCAB)), 0);
    EXPECT_EQ(first.cb, 0x7FFFFFFFu);
    EXPECT_EQ(first.cbFolderThresh, 0x7FFFFFFFu);
    EXPECT_EQ(first.iCab, 0);
    EXPECT_EQ(first.cbReserveCFHeader, 0u);
    EXPECT_STREQ(first.szCabPath, "/out/");
    EXPECT_STREQ(first.szCab, "my.cab");

    std::string folder255 = "/" + std::string(254, 'f');
    EXPECT_EQ(manager.SetCabSettings(folder255.c_str(), "x.cab", 0), S_OK);
    CapturedReports reports;
    EXPECT_EQ(manager.SetCabSettings((folder255 + "f").c_str(), "x.cab", 0),
              STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_REPORTED(reports.Take(), "{CCabManager::SetCabSettings}[FAIL] StringCchCopyA failed");
}

TEST(CabSettings, FurtherCabinetsAreNumberedFromTheBaseName) {
    OpenManager manager;
    strcpy(manager.m_szCabBaseName, "my");
    CCAB ccab = {};
    strcpy(ccab.szCabPath, "/keep/");
    ccab.iCab = 2;
    EXPECT_TRUE(manager.FciGetNextCabinet(&ccab, 0));
    EXPECT_STREQ(ccab.szCab, "my002.cab");
    ccab.iCab = 1234;
    EXPECT_TRUE(manager.FciGetNextCabinet(&ccab, 0));
    EXPECT_STREQ(ccab.szCab, "my1234.cab");
    EXPECT_STREQ(ccab.szCabPath, "/keep/");
    // A name that does not fit the record is refused, not cut.
    memset(manager.m_szCabBaseName, 'b', 254);
    manager.m_szCabBaseName[254] = '\0';
    EXPECT_FALSE(manager.FciGetNextCabinet(&ccab, 0));
}

TEST(CabSettings, ErrorNumbersMapToFixedTexts) {
    OpenManager manager;
    const std::map<int, std::string> fci = {
        {0, "No error"},
        {1, "Failure opening file to be stored in cabinet"},
        {2, "Failure reading file to be stored in cabinet"},
        {3, "Insufficient memory in FCI"},
        {4, "Could not create a temporary file"},
        {5, "Unknown compression type"},
        {6, "Could not create cabinet file"},
        {7, "Client requested abort"},
        {8, "Failure compressing data"},
        {9, "Unknown error"},
        {-1, "Unknown error"},
    };
    const std::map<int, std::string> fdi = {
        {0, "No error"},
        {1, "Cabinet not found"},
        {2, "Not a cabinet"},
        {3, "Unknown cabinet version"},
        {4, "Corrupt cabinet"},
        {5, "Memory allocation failed"},
        {6, "Unknown compression type"},
        {7, "Failure decompressing data"},
        {8, "Failure writing to target file"},
        {9, "Cabinets in set have different RESERVE sizes"},
        {10, "Cabinet returned on fdintNEXT_CABINET is incorrect"},
        {11, "User aborted"},
        {12, "Unknown error"},
        {-5, "Unknown error"},
    };
    for (const auto &[number, text] : fci) {
        manager.m_erf.erfOper = number;
        EXPECT_EQ(manager.GetFciErrorString(), text) << number;
    }
    for (const auto &[number, text] : fdi) {
        manager.m_erf.erfOper = number;
        EXPECT_EQ(manager.GetFdiErrorString(), text) << number;
    }
}

// --- Object, bridge, cancel -----------------------------------------------------------------

TEST(ManagerObject, StartsEmptyAndKeepsCancelValue) {
    OpenManager manager;
    EXPECT_TRUE(manager.m_vecFiles.empty());
    EXPECT_EQ(manager.m_hfci, nullptr);
    EXPECT_EQ(manager.m_hfdi, nullptr);
    EXPECT_EQ(manager.GetCancel(), 0);
    EXPECT_EQ(manager.SetCancel(5), 1);
    EXPECT_EQ(manager.GetCancel(), 5);
    EXPECT_EQ(manager.SetCancel(0), 1);
    EXPECT_EQ(manager.GetCancel(), 0);
}

class StatusCounter : public OpenManager {
public:
    int status_calls = 0;
    int temp_calls = 0;

protected:
    long FciStatus(UINT, ULONG, ULONG) override {
        ++status_calls;
        return 0;
    }
    BOOL FciGetTempFile(char *pszTempName, int cbTempName) override {
        ++temp_calls;
        EXPECT_EQ(pszTempName[0], '\0');
        return CCabManager::FciGetTempFile(pszTempName, cbTempName);
    }
};

TEST(ManagerObject, BridgesAnswerCancelAndBadBuffersThemselves) {
    StatusCounter manager;
    EXPECT_EQ(StatusCounter::BridgeFciStatus(statusFile, 1, 2, &manager), 0);
    EXPECT_EQ(manager.status_calls, 1);
    manager.SetCancel(1);
    EXPECT_EQ(StatusCounter::BridgeFciStatus(statusFile, 1, 2, &manager), -1);
    EXPECT_EQ(manager.status_calls, 1);

    char buffer[MAX_PATH] = "stale";
    EXPECT_FALSE(StatusCounter::BridgeFciGetTempFile(buffer, 0, &manager));
    EXPECT_FALSE(StatusCounter::BridgeFciGetTempFile(nullptr, MAX_PATH, &manager));
    EXPECT_EQ(manager.temp_calls, 0);
    ASSERT_TRUE(StatusCounter::BridgeFciGetTempFile(buffer, MAX_PATH, &manager));
    EXPECT_EQ(manager.temp_calls, 1);
    EXPECT_EQ(fs::path(buffer).filename().string().rfind("KWB_", 0), 0u) << buffer;
    // Too small a buffer for the name: refused with a report.
    CapturedReports reports;
    EXPECT_FALSE(StatusCounter::BridgeFciGetTempFile(buffer, 4, &manager));
    EXPECT_REPORTED(reports.Take(), "{CCabManager::FciGetTempFile}[FAIL] StringCchCopyA failed");
}

// Answering 0 again after FDI failed to open the next cabinet would retry it for ever.
TEST(ManagerObject, NextCabinetThatCannotBeOpenedEndsTheRun) {
    OpenManager manager;
    char name[] = "next.cab";
    FDINOTIFICATION notification = {};
    notification.psz1 = name;
    notification.pv = &manager;
    notification.fdie = FDIERROR_NONE;
    EXPECT_EQ(manager.FdiNotify(fdintNEXT_CABINET, &notification), 0);
    notification.fdie = FDIERROR_CABINET_NOT_FOUND;
    CapturedReports reports;
    EXPECT_EQ(manager.FdiNotify(fdintNEXT_CABINET, &notification), -1);
    EXPECT_REPORTED(reports.Take(),
                    "{CCabManager::FdiNotify}[FAIL] Next cabinet next.cab could "
                    "not be opened");
}

// --- Folder walk ----------------------------------------------------------------------------

using CabManagerWalkTest = CabManagerTest;

TEST_F(CabManagerWalkTest, NamesAreRelativeToTheRootWithOrWithoutSeparator) {
    fs::path root = MakeTree("tree");
    WriteFile(root / ".hidden", "h");
    const std::vector<std::string> want = {".hidden", "a.txt", "empty.txt", "sub\\b.txt",
                                           "sub\\deeper\\c.txt"};
    for (const std::wstring &spelling :
         {W(root), W(root) + L"/", W(root) + L"//", W(root) + L"\\"}) {
        OpenManager manager;
        ASSERT_EQ(manager.AddFilesInFolderToList(spelling.c_str(), spelling.c_str(), 1), S_OK);
        std::vector<std::string> names = manager.Names();
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, want);
        EXPECT_EQ(manager.m_cTotalFiles, 5);
        for (const CFileInCab &file : manager.m_vecFiles) {
            EXPECT_TRUE(fs::exists(file.szFilePath)) << file.szFilePath;
        }
    }
    OpenManager flat;
    ASSERT_EQ(flat.AddFilesInFolderToList(W(root).c_str(), W(root).c_str(), 0), S_OK);
    EXPECT_EQ(flat.m_vecFiles.size(), 3u);
    // A sub-folder walked below the root keeps the root's names.
    OpenManager below;
    ASSERT_EQ(below.AddFilesInFolderToList(W(root).c_str(), W(root / "sub").c_str(), 0), S_OK);
    EXPECT_EQ(below.Names(), (std::vector<std::string>{"sub\\b.txt"}));
}

// Each folder's files, its sub-folders' included, stand together in the list.
TEST_F(CabManagerWalkTest, SubFoldersAreWalkedWhereTheyAreMet) {
    fs::path root = dir_ / "deep";
    for (const char *folder : {"", "p/", "p/q/", "p/q/r/", "s/", "s/t/", "u/"}) {
        for (const char *file : {"1", "2"})
            WriteFile(root / (std::string(folder) + file), "x");
    }
    OpenManager manager;
    ASSERT_EQ(manager.AddFilesInFolderToList(W(root).c_str(), W(root).c_str(), 1), S_OK);
    std::vector<std::string> names = manager.Names();
    ASSERT_EQ(names.size(), 14u);
    for (const std::string prefix : {"p\\", "p\\q\\", "p\\q\\r\\", "s\\", "s\\t\\", "u\\"}) {
        std::vector<size_t> at;
        for (size_t i = 0; i < names.size(); ++i) {
            if (names[i].rfind(prefix, 0) == 0)
                at.push_back(i);
        }
        ASSERT_FALSE(at.empty());
        EXPECT_EQ(at.back() - at.front() + 1, at.size()) << prefix;
    }
}

TEST_F(CabManagerWalkTest, MissingFolderAddsNothingAndNullIsRefused) {
    OpenManager manager;
    std::wstring missing = W(dir_ / "missing");
    EXPECT_EQ(manager.AddFilesInFolderToList(missing.c_str(), missing.c_str(), 1), S_OK);
    WriteFile(dir_ / "file", "x");
    std::wstring file = W(dir_ / "file");
    EXPECT_EQ(manager.AddFilesInFolderToList(file.c_str(), file.c_str(), 1), S_OK);
    EXPECT_TRUE(manager.m_vecFiles.empty());
    CapturedReports reports;
    EXPECT_EQ(manager.AddFilesInFolderToList(nullptr, missing.c_str(), 1), E_INVALIDARG);
    EXPECT_EQ(manager.AddFilesInFolderToList(missing.c_str(), nullptr, 1), E_INVALIDARG);
    EXPECT_REPORTED(reports.Take(),
                    "{CCabManager::AddFilesInFolderToList}[FAIL] Invalid args passed");
}

// Links to folders are followed, but a link back into the walk is not, so the walk ends and
// lists every file once.
TEST_F(CabManagerWalkTest, LinksAreFollowedButNeverBackIntoTheWalk) {
    fs::path root = dir_ / "linked";
    fs::path outside = dir_ / "outside";
    WriteFile(root / "a.txt", "a");
    WriteFile(root / "sub" / "b.txt", "b");
    WriteFile(outside / "x.txt", "x");
    fs::create_directory_symlink("..", root / "sub" / "up");
    fs::create_directory_symlink(".", root / "sub" / "self");
    fs::create_directory_symlink(root, outside / "back");
    fs::create_directory_symlink(outside, root / "ext1");
    fs::create_directory_symlink(outside, root / "ext2");

    OpenManager manager;
    ASSERT_EQ(manager.AddFilesInFolderToList(W(root).c_str(), W(root).c_str(), 1), S_OK);
    std::vector<std::string> names = manager.Names();
    std::sort(names.begin(), names.end());
    // Two links to one folder beside each other are two walks, neither inside itself.
    EXPECT_EQ(names,
              (std::vector<std::string>{"a.txt", "ext1\\x.txt", "ext2\\x.txt", "sub\\b.txt"}));
}

TEST_F(CabManagerWalkTest, ListFileNamesFoldersOnePerLine) {
    fs::path one = dir_ / "one";
    fs::path two = dir_ / "two";
    WriteFile(one / "1.txt", "1");
    WriteFile(two / "sub" / "2.txt", "2");
    fs::path list = dir_ / "list.txt";
    // A CR LF line and a last line without a line feed.
    WriteFile(list, one.string() + "\r\n" + two.string());

    OpenManager manager;
    manager.AddFileToCompress(W(one / "1.txt").c_str(), L"dropped.txt");
    fs::path cab = dir_ / "out" / "list.cab";
    fs::create_directories(cab.parent_path());
    Pack(manager, L"@" + W(list), cab);
    EXPECT_EQ(manager.Names(), (std::vector<std::string>{"1.txt", "sub\\2.txt"}));
    EXPECT_EQ(manager.m_cTotalFiles, 2);
    EXPECT_TRUE(fs::exists(cab));

    {
        WriteFile(list, "");
        fs::path none = dir_ / "out" / "none.cab";
        CapturedReports reports;
        EXPECT_EQ(manager.CompressFilesInFolder((L"@" + W(list)).c_str(), W(none).c_str(), 0, 1),
                  E_FAIL);
        EXPECT_REPORTED(reports.Take(),
                        "{CCabManager::CompressFilesInFolder}[FAIL] AddFilesInFolderToList");
        EXPECT_FALSE(fs::exists(none));
    }
    CapturedReports reports;
    EXPECT_EQ(manager.CompressFilesInFolder((L"@" + W(dir_ / "nolist")).c_str(),
                                            W(dir_ / "out" / "x.cab").c_str(), 0, 1),
              E_FAIL);
    EXPECT_FALSE(fs::exists(dir_ / "out" / "x.cab"));
}

// An empty line walks the current folder, with names relative to it.
TEST_F(CabManagerWalkTest, EmptyListLineWalksTheCurrentFolder) {
    WriteFile(dir_ / "cwd" / "c.txt", "c");
    WriteFile(dir_ / "one" / "1.txt", "1");
    fs::path list = dir_ / "list.txt";
    WriteFile(list, "\n" + (dir_ / "one").string() + "\n");
    fs::path saved = fs::current_path();
    fs::current_path(dir_ / "cwd");
    OpenManager manager;
    CapturedReports reports;
    HRESULT hr =
        manager.CompressFilesInFolder((L"@" + W(list)).c_str(), W(dir_ / "l.cab").c_str(), 0, 1);
    fs::current_path(saved);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(manager.Names(), (std::vector<std::string>{"c.txt", "1.txt"}));
    EXPECT_REPORTED(reports.Take(), "The path passed has zero length");
}

// --- Compression and extraction -------------------------------------------------------------

TEST_F(CabManagerTest, RoundTripKeepsNamesContentTimesAndAttributes) {
    fs::path root = MakeTree("src");
    WriteFile(root / ".hidden", "hidden");
    WriteFile(root / "read-only.txt", "ro");
    WriteFile(root / "caf\u00e9 \u65e5\u672c.txt", "utf-8 name");
    fs::permissions(root / "read-only.txt",
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    // An even second, as DOS times keep.
    auto when = fs::file_time_type::clock::now() - std::chrono::hours(24 * 400);
    when = std::chrono::time_point_cast<std::chrono::seconds>(when);
    if (std::chrono::duration_cast<std::chrono::seconds>(when.time_since_epoch()).count() % 2) {
        when += std::chrono::seconds(1);
    }
    fs::last_write_time(root / "sub" / "b.txt", when);

    OpenManager packer;
    fs::path cab = dir_ / "tree.cab";
    Pack(packer, root, cab);

    OpenManager unpacker;
    fs::path dest = dir_ / "new" / "dest";
    std::wstring out_folder;
    {
        CapturedReports reports;
        ASSERT_EQ(unpacker.DecompressCabFile(W(cab).c_str(), W(dest).c_str(), nullptr, &out_folder),
                  S_OK)
            << reports.Take();
    }
    EXPECT_EQ(out_folder, W(dest));
    EXPECT_EQ(ReadTree(dest), ReadTree(root));
    EXPECT_EQ(fs::last_write_time(dest / "sub" / "b.txt"), when);
    EXPECT_EQ(fs::status(dest / "read-only.txt").permissions() & fs::perms::all &
                  (fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write),
              fs::perms::none);
    EXPECT_NE(fs::status(dest / "a.txt").permissions() & fs::perms::owner_write, fs::perms::none);

    // The list names what was extracted: the path on disk and the name in the cabinet.
    EXPECT_EQ(unpacker.m_cTotalFiles, 7);
    ASSERT_EQ(unpacker.m_vecFiles.size(), 7u);
    std::vector<std::string> packed = packer.Names();
    std::vector<std::string> unpacked = unpacker.Names();
    std::sort(packed.begin(), packed.end());
    std::sort(unpacked.begin(), unpacked.end());
    EXPECT_EQ(unpacked, packed);
    for (const CFileInCab &file : unpacker.m_vecFiles) {
        std::string relative = file.szNameInCab;
        std::replace(relative.begin(), relative.end(), '\\', '/');
        EXPECT_EQ(fs::path(file.szFilePath), dest / relative);
    }
}

TEST_F(CabManagerTest, ExtractionOverwritesAndAddsOneSeparatorToTheDestination) {
    fs::path cab = PackNames({"a.txt", "sub\\b.txt"}, "two.cab");
    fs::path dest = dir_ / "dest";
    WriteFile(dest / "a.txt", "old content that is longer");
    OpenManager manager;
    ASSERT_EQ(Unpack(manager, cab, dest), S_OK);
    EXPECT_EQ(ReadFile(dest / "a.txt"), "data of a.txt");
    EXPECT_EQ(ReadFile(dest / "sub" / "b.txt"), "data of sub\\b.txt");
    EXPECT_EQ(std::string(manager.m_szDestFolder), dest.string() + "/");
    ASSERT_EQ(Unpack(manager, cab, dest.string() + "/"), S_OK);
    EXPECT_EQ(std::string(manager.m_szDestFolder), dest.string() + "/");
    // A trailing backslash is a separator too: the files land inside the folder.
    fs::path other = dir_ / "other";
    ASSERT_EQ(Unpack(manager, cab, other.string() + "\\"), S_OK);
    EXPECT_EQ(std::string(manager.m_szDestFolder), other.string() + "/");
    EXPECT_TRUE(fs::exists(other / "sub" / "b.txt"));
}

TEST_F(CabManagerTest, OpenInfoReportsMaskedAttributesAndLocalDosTime) {
    WriteFile(dir_ / "ro", "x");
    WriteFile(dir_ / ".hid", "x");
    fs::permissions(dir_ / "ro", fs::perms::owner_write, fs::perm_options::remove);
    OpenManager manager;
    USHORT date = 0, time = 0, attribs = 0xFFFF;
    int err = 0;
    std::string ro = (dir_ / "ro").string();
    INT_PTR hf = manager.FciGetOpenInfo(ro.data(), &date, &time, &attribs, &err);
    ASSERT_NE(hf, -1);
    _close(static_cast<int>(hf));
    EXPECT_EQ(attribs, 0x21);
    FILETIME local, utc;
    ASSERT_TRUE(DosDateTimeToFileTime(date, time, &local));
    ASSERT_TRUE(LocalFileTimeToFileTime(&local, &utc));
    std::string hid = (dir_ / ".hid").string();
    hf = manager.FciGetOpenInfo(hid.data(), &date, &time, &attribs, &err);
    ASSERT_NE(hf, -1);
    _close(static_cast<int>(hf));
    EXPECT_EQ(attribs, 0x22);

    // A date DOS cannot hold becomes the earliest one it can.
    WriteFile(dir_ / "old", "x");
    fs::last_write_time(dir_ / "old",
                        fs::file_time_type::clock::now() - std::chrono::hours(24 * 365 * 60));
    std::string old = (dir_ / "old").string();
    hf = manager.FciGetOpenInfo(old.data(), &date, &time, &attribs, &err);
    ASSERT_NE(hf, -1);
    _close(static_cast<int>(hf));
    EXPECT_EQ(date, (1 << 5) | 1);
    EXPECT_EQ(time, 0);
    EXPECT_EQ(attribs, 0x20);

    CapturedReports reports;
    std::string missing = (dir_ / "missing").string();
    EXPECT_EQ(manager.FciGetOpenInfo(missing.data(), &date, &time, &attribs, &err), -1);
    EXPECT_EQ(err, ENOENT);
    EXPECT_REPORTED(reports.Take(), "{CCabManager::FciGetOpenInfo}[FAIL] _open failed with error");
}

TEST_F(CabManagerTest, CompressionFailuresReportAndLeaveTheCountAlone) {
    OpenManager manager;
    WriteFile(dir_ / "a.txt", "a");
    manager.AddFileToCompress(W(dir_ / "a.txt").c_str(), nullptr);
    int added = 42;
    {
        CapturedReports reports;
        EXPECT_EQ(manager.CompressFiles(L"out.cab", 0, &added), E_FAIL);
        EXPECT_EQ(added, 42);
        EXPECT_REPORTED(reports.Take(), "{CCabManager::CompressFiles}[FAIL] SplitCabPath failed");
    }
    {
        // FCI cannot create a cabinet in a folder that does not exist; nothing creates it.
        CapturedReports reports;
        EXPECT_EQ(manager.CompressFiles(W(dir_ / "nofolder" / "x.cab").c_str(), 0, &added), E_FAIL);
        EXPECT_REPORTED(reports.Take(), "Could not create cabinet file");
        EXPECT_FALSE(fs::exists(dir_ / "nofolder"));
    }
    // The record of the base name cuts at the first dot.
    EXPECT_STREQ(manager.m_szCabBaseName, "x");
}

// An empty list still creates and flushes a context; what the writer leaves is a valid answer.
TEST_F(CabManagerTest, EmptyListStoresNothing) {
    OpenManager manager;
    int added = 7;
    CapturedReports reports;
    HRESULT hr = manager.CompressFiles(W(dir_ / "empty.cab").c_str(), 0, &added);
    std::string text = reports.Take();
    EXPECT_EQ(added, 0);
    EXPECT_NE(manager.m_hfci, nullptr);
    if (SUCCEEDED(hr) && fs::exists(dir_ / "empty.cab")) {
        OpenManager reader;
        EXPECT_EQ(Unpack(reader, dir_ / "empty.cab", dir_ / "out"), S_OK);
        EXPECT_TRUE(reader.m_vecFiles.empty());
    } else {
        EXPECT_REPORTED(text, "{CCabManager::CompressFiles}[FAIL] FCIFlushCabinet failed");
    }
}

TEST_F(CabManagerTest, MissingFilesArePassedOverSilently) {
    OpenManager manager;
    WriteFile(dir_ / "here.txt", "here");
    manager.AddFileToCompress(W(dir_ / "gone.txt").c_str(), nullptr);
    manager.AddFileToCompress(W(dir_ / "here.txt").c_str(), nullptr);
    int added = -1;
    CapturedReports reports;
    EXPECT_EQ(manager.CompressFiles(W(dir_ / "c.cab").c_str(), 0, &added), S_OK);
    EXPECT_EQ(added, 1);
    EXPECT_EQ(reports.Take(), "");
    OpenManager unpacker;
    ASSERT_EQ(Unpack(unpacker, dir_ / "c.cab", dir_ / "out"), S_OK);
    EXPECT_EQ(unpacker.Names(), (std::vector<std::string>{"here.txt"}));
}

// A file that exists but cannot be stored fails the operation once the cabinet is written.
TEST_F(CabManagerTest, FileThatCannotBeStoredFailsAfterTheFlush) {
    OpenManager manager;
    WriteFile(dir_ / "good.txt", "good");
    fs::create_directories(dir_ / "folder");
    manager.AddFileToCompress(W(dir_ / "folder").c_str(), nullptr);
    manager.AddFileToCompress(W(dir_ / "good.txt").c_str(), nullptr);
    // A name longer than the format holds.
    std::wstring long_name(256, L'n');
    manager.AddFileToCompress(W(dir_ / "good.txt").c_str(), long_name.c_str());
    int added = 0;
    CapturedReports reports;
    EXPECT_EQ(manager.CompressFiles(W(dir_ / "c.cab").c_str(), 0, &added), E_FAIL);
    const std::string &text = reports.Take();
    EXPECT_EQ(added, 1);
    EXPECT_REPORTED(text, "{CCabManager::CompressFiles}[FAIL] 2 file(s) could not be stored");
    EXPECT_REPORTED(text, "FCIAddFile failed for " + (dir_ / "good.txt").string() +
                              ". Error was (9) - Unknown error");
    EXPECT_REPORTED(text, "{CCabManager::CompressFiles}[FAIL] FCIAddFile failed for " +
                              (dir_ / "folder").string() +
                              ". Error was (1) - Failure opening file to be stored in cabinet");
    OpenManager unpacker;
    ASSERT_EQ(Unpack(unpacker, dir_ / "c.cab", dir_ / "out"), S_OK);
    EXPECT_EQ(unpacker.Names(), (std::vector<std::string>{"good.txt"}));
}

// --- Extraction filters and failures --------------------------------------------------------

TEST_F(CabManagerTest, FiltersMatchFileNamesOnlyAgainstEveryPattern) {
    fs::path cab = PackNames({"y.txt", "x.log", "z.bin", "sub\\a.txt", "A.TXT"}, "f.cab");
    struct Case {
        const wchar_t *filters;
        std::vector<std::string> want;
    } cases[] = {
        {L"*.txt;*.log", {"x.log", "y.txt", "sub\\a.txt"}},
        {L"a.txt", {"sub\\a.txt"}},
        {L";;;", {}},
        {L"", {"A.TXT", "x.log", "y.txt", "z.bin", "sub\\a.txt"}},
        {nullptr, {"A.TXT", "x.log", "y.txt", "z.bin", "sub\\a.txt"}},
    };
    int index = 0;
    for (const Case &c : cases) {
        OpenManager manager;
        fs::path dest = dir_ / ("out" + std::to_string(index++));
        ASSERT_EQ(Unpack(manager, cab, dest, c.filters), S_OK);
        std::vector<std::string> names = manager.Names();
        std::vector<std::string> want = c.want;
        std::sort(names.begin(), names.end());
        std::sort(want.begin(), want.end());
        EXPECT_EQ(names, want);
        EXPECT_EQ(manager.m_cTotalFiles, 5);
        EXPECT_EQ(fs::exists(dest / "z.bin"), std::count(want.begin(), want.end(), "z.bin") == 1);
    }
}

TEST_F(CabManagerTest, FilterListLimitIs255Bytes) {
    fs::path cab = PackNames({"a.txt"}, "a.cab");
    std::wstring filters255 = L"a.txt;" + std::wstring(249, L'x');
    OpenManager manager;
    EXPECT_EQ(Unpack(manager, cab, dir_ / "ok", filters255.c_str()), S_OK);
    EXPECT_TRUE(fs::exists(dir_ / "ok" / "a.txt"));
    std::string text;
    EXPECT_EQ(Unpack(manager, cab, dir_ / "long", (filters255 + L"x").c_str(), &text), E_FAIL);
    EXPECT_REPORTED(text,
                    "{CCabManager::DecompressCabFile}[FAIL] ConvertWSTRToPSTR failed. "
                    "Too many filters");
    EXPECT_FALSE(fs::exists(dir_ / "long" / "a.txt"));
}

TEST_F(CabManagerTest, ExtractionArgumentsAndMissingCabinets) {
    fs::path cab = PackNames({"a.txt"}, "a.cab");
    OpenManager manager;
    manager.AddFileToCompress(L"/kept/x", nullptr);
    std::wstring out;
    {
        CapturedReports reports;
        EXPECT_EQ(manager.DecompressCabFile(nullptr, dir_.wstr().c_str(), nullptr, &out),
                  E_INVALIDARG);
        EXPECT_EQ(manager.DecompressCabFile(W(cab).c_str(), dir_.wstr().c_str(), nullptr, nullptr),
                  E_INVALIDARG);
        EXPECT_EQ(manager.DecompressCabFile(W(dir_ / "none.cab").c_str(), dir_.wstr().c_str(),
                                            nullptr, &out),
                  E_FAIL);
        const std::string &text = reports.Take();
        EXPECT_REPORTED(text, "[FAIL] Invalid parameter passed");
        EXPECT_REPORTED(text, "[FAIL] The cab file does not exist");
    }
    // Failures before the existence test keep an earlier list.
    EXPECT_EQ(manager.m_vecFiles.size(), 1u);
    {
        CapturedReports reports;
        out = L"stale";
        EXPECT_EQ(manager.DecompressCabFile(W(cab).c_str(), L"", nullptr, &out), E_INVALIDARG);
        EXPECT_REPORTED(reports.Take(), "[FAIL] pwszDestinationFolder has zero length");
        EXPECT_EQ(out, L"");
        EXPECT_TRUE(manager.m_vecFiles.empty());
    }
    {
        // A bare name in the current folder passes the existence test and fails to split.
        fs::path saved = fs::current_path();
        fs::current_path(dir_.path());
        CapturedReports reports;
        EXPECT_EQ(manager.DecompressCabFile(L"a.cab", W(dir_ / "o").c_str(), nullptr, &out),
                  E_FAIL);
        fs::current_path(saved);
        EXPECT_REPORTED(reports.Take(), "[FAIL] SplitCabPath failed");
    }
}

TEST_F(CabManagerTest, CorruptCabinetsFailWithTheReadersText) {
    fs::path cab = PackNames({"a.txt", "b.txt"}, "good.cab");
    std::string bytes = ReadFile(cab);
    WriteFile(dir_ / "not.cab", "this is not a cabinet at all, not even close to one");
    std::string truncated = bytes.substr(0, bytes.size() - 10);
    WriteFile(dir_ / "short.cab", truncated);
    {
        OpenManager manager;
        std::string text;
        EXPECT_EQ(Unpack(manager, dir_ / "not.cab", dir_ / "o1", nullptr, &text), E_FAIL);
        EXPECT_REPORTED(text,
                        "{CCabManager::SetDecompressedFilesCount}[FAIL] FDICopy "
                        "failed. Error (2) - Not a cabinet");
        EXPECT_REPORTED(text, "[FAIL] SetFilesCount failed");
        EXPECT_TRUE(fs::is_empty(dir_ / "o1"));
    }
    {
        OpenManager manager;
        std::string text;
        EXPECT_EQ(Unpack(manager, dir_ / "short.cab", dir_ / "o2", nullptr, &text), E_FAIL);
        EXPECT_REPORTED(text, "FDICopy failed. Error (");
    }
}

// A destination of 259 bytes leaves no room for a name: the first file aborts the run.
TEST_F(CabManagerTest, DestinationAtTheLimitLeavesNoRoomForNames) {
    fs::path cab = PackNames({"a.txt"}, "a.cab");
    std::string dest = dir_.str() + "/";
    dest += std::string(259 - dest.size(), 'd');
    OpenManager manager;
    std::string text;
    EXPECT_EQ(Unpack(manager, cab, dest, nullptr, &text), E_FAIL);
    EXPECT_EQ(strlen(manager.m_szDestFolder), 259u);
    EXPECT_REPORTED(text, "{CCabManager::PrepareDestination}[FAIL] StringCchCat failed");
    EXPECT_REPORTED(text, "{CCabManager::FdiOnCopyFile}[FAIL] PrepareDestination failed");
    EXPECT_REPORTED(text, "FDICopy failed. Error (11) - User aborted");
}

// Names that would land outside the destination are refused before anything is created.
TEST_F(CabManagerTest, UnsafeNamesAreRefused) {
    const std::vector<std::string> unsafe = {
        "..\\evil.txt",  "\\evil.txt",  "C:evil.txt", "a\\..\\..\\evil.txt",
        "a\\\\evil.txt", ".\\evil.txt", "a\\"};
    int index = 0;
    for (const std::string &name : unsafe) {
        std::string tag = std::to_string(index++);
        fs::path cab = PackNames({"first.txt", name}, "unsafe" + tag + ".cab");
        fs::path dest = dir_ / ("x" + tag) / "dest";
        OpenManager manager;
        std::string text;
        EXPECT_EQ(Unpack(manager, cab, dest, nullptr, &text), E_FAIL) << name;
        EXPECT_REPORTED(text,
                        "{CCabManager::FdiOnCopyFile}[FAIL] Unsafe file name " + name + " refused");
        EXPECT_FALSE(fs::exists(dir_ / ("x" + tag) / "evil.txt")) << name;
        EXPECT_FALSE(fs::exists(dir_ / "evil.txt")) << name;
        EXPECT_FALSE(fs::exists("/evil.txt"));
        EXPECT_EQ(ReadTree(dest).size(), 1u) << name;
    }
    // Dots inside a name are fine.
    fs::path cab = PackNames({"a..b\\..c", "d.\\e"}, "dots.cab");
    OpenManager manager;
    EXPECT_EQ(Unpack(manager, cab, dir_ / "dots"), S_OK);
    EXPECT_TRUE(fs::exists(dir_ / "dots" / "a..b" / "..c"));
}

// --- Cancel ---------------------------------------------------------------------------------

class CancelAtStatus : public OpenManager {
protected:
    long FciStatus(UINT, ULONG, ULONG) override {
        SetCancel(1);
        return 0;
    }
};

class CancelAtSecondFile : public OpenManager {
protected:
    INT_PTR FdiNotify(FDINOTIFICATIONTYPE fdint, PFDINOTIFICATION pfdin) override {
        if (fdint == fdintCOPY_FILE && ++copies_ == 2)
            SetCancel(1);
        return CCabManager::FdiNotify(fdint, pfdin);
    }

private:
    int copies_ = 0;
};

TEST_F(CabManagerTest, CancelFromACallbackStopsCompression) {
    fs::path root = MakeTree("src");
    CancelAtStatus manager;
    CapturedReports reports;
    EXPECT_EQ(manager.CompressFilesInFolder(W(root).c_str(), W(dir_ / "c.cab").c_str(), 0, 1),
              E_FAIL);
    EXPECT_REPORTED(reports.Take(), "(7) Client requested abort");
    EXPECT_EQ(manager.GetCancel(), 1);
}

TEST_F(CabManagerTest, CancelFromACallbackStopsExtraction) {
    fs::path cab = PackNames({"1.txt", "2.txt", "3.txt"}, "three.cab");
    CancelAtSecondFile manager;
    std::string text;
    EXPECT_EQ(Unpack(manager, cab, dir_ / "out", nullptr, &text), E_FAIL);
    EXPECT_REPORTED(text,
                    "{CCabManager::DecompressCabFile}[FAIL] FDICopy failed. Error "
                    "(11) - User aborted");
    EXPECT_TRUE(fs::exists(dir_ / "out" / "1.txt"));
    EXPECT_FALSE(fs::exists(dir_ / "out" / "2.txt"));
    EXPECT_FALSE(fs::exists(dir_ / "out" / "3.txt"));
}

TEST_F(CabManagerTest, CancelSetBeforehandStopsTheCountingPass) {
    fs::path cab = PackNames({"1.txt"}, "one.cab");
    OpenManager manager;
    manager.SetCancel(1);
    std::string text;
    EXPECT_EQ(Unpack(manager, cab, dir_ / "out", nullptr, &text), E_FAIL);
    EXPECT_REPORTED(text, "FDICopy failed. Error (11) - User aborted");
    EXPECT_REPORTED(text, "[FAIL] SetFilesCount failed");
    EXPECT_TRUE(fs::is_empty(dir_ / "out"));
    EXPECT_TRUE(manager.m_vecFiles.empty());
}

// --- Progress -------------------------------------------------------------------------------

struct ProgressLog {
    std::vector<std::pair<int, int>> events;
    static void Record(void *context, int event, int value) {
        static_cast<ProgressLog *>(context)->events.emplace_back(event, value);
    }
};

TEST_F(CabManagerTest, ProgressReportsEachFileAndTheEndOfEachOperation) {
    fs::path cab = PackNames({"1", "2", "3", "4"}, "four.cab");
    ProgressLog log;
    OpenManager manager;
    manager.SetProgressCallback(&ProgressLog::Record, &log);
    ASSERT_EQ(Unpack(manager, cab, dir_ / "out"), S_OK);
    using Events = std::vector<std::pair<int, int>>;
    EXPECT_EQ(log.events, (Events{{1, 25}, {1, 50}, {1, 75}, {1, 100}, {3, 0}}));
    EXPECT_EQ(manager.GetDoneFiles(), 4);
    EXPECT_EQ(manager.GetTotalFiles(), 4);

    log.events.clear();
    int added = 0;
    ASSERT_EQ(manager.CompressFiles(W(dir_ / "again.cab").c_str(), 0, &added), S_OK);
    EXPECT_EQ(log.events, (Events{{0, 25}, {0, 50}, {0, 75}, {0, 100}, {2, 0}}));

    // A total of zero counts every step as complete, and an early failure still ends the run.
    log.events.clear();
    manager.m_cTotalFiles = 0;
    ASSERT_EQ(manager.CompressFiles(W(dir_ / "zero.cab").c_str(), 0, &added), S_OK);
    EXPECT_EQ(log.events, (Events{{0, 100}, {0, 100}, {0, 100}, {0, 100}, {2, 0}}));
    log.events.clear();
    CapturedReports reports;
    EXPECT_EQ(manager.CompressFiles(L"bare.cab", 0, &added), E_FAIL);
    EXPECT_EQ(log.events, (Events{{2, 0}}));
    manager.SetProgressCallback(nullptr, nullptr);
}

// --- Spanning sets, the bridge, coalescing --------------------------------------------------

// Sees every callback and forwards it, so the bridge can be checked call by call.
class CallCounter : public SmallCabinetManager {
public:
    // The map outlives the manager, so what the destructor causes counts too.
    CallCounter(ULONG cb, std::map<std::string, int> *calls)
        : SmallCabinetManager(cb), calls_(*calls) {}

private:
    std::map<std::string, int> &calls_;

protected:
    INT_PTR FdiNotify(FDINOTIFICATIONTYPE fdint, PFDINOTIFICATION pfdin) override {
        ++calls_["FdiNotify" + std::to_string(fdint)];
        return CCabManager::FdiNotify(fdint, pfdin);
    }
    INT_PTR FciOpen(char *pszFile, int oflag, int pmode, int *err) override {
        ++calls_["FciOpen"];
        return CCabManager::FciOpen(pszFile, oflag, pmode, err);
    }
    UINT FciRead(INT_PTR hf, void *memory, UINT cb, int *err) override {
        ++calls_["FciRead"];
        return CCabManager::FciRead(hf, memory, cb, err);
    }
    UINT FciWrite(INT_PTR hf, void *memory, UINT cb, int *err) override {
        ++calls_["FciWrite"];
        return CCabManager::FciWrite(hf, memory, cb, err);
    }
    int FciClose(INT_PTR hf, int *err) override {
        ++calls_["FciClose"];
        return CCabManager::FciClose(hf, err);
    }
    long FciSeek(INT_PTR hf, long dist, int seektype, int *err) override {
        ++calls_["FciSeek"];
        return CCabManager::FciSeek(hf, dist, seektype, err);
    }
    int FciDelete(char *pszFile, int *err) override {
        ++calls_["FciDelete"];
        return CCabManager::FciDelete(pszFile, err);
    }
    BOOL FciGetNextCabinet(PCCAB pccab, ULONG cbPrevCab) override {
        ++calls_["FciGetNextCabinet"];
        return CCabManager::FciGetNextCabinet(pccab, cbPrevCab);
    }
    int FciFilePlaced(PCCAB pccab, char *pszFile, long cbFile, BOOL fContinuation) override {
        ++calls_["FciFilePlaced"];
        return CCabManager::FciFilePlaced(pccab, pszFile, cbFile, fContinuation);
    }
    INT_PTR FciGetOpenInfo(char *pszName, USHORT *pdate, USHORT *ptime, USHORT *pattribs,
                           int *err) override {
        ++calls_["FciGetOpenInfo"];
        return CCabManager::FciGetOpenInfo(pszName, pdate, ptime, pattribs, err);
    }
    long FciStatus(UINT typeStatus, ULONG cb1, ULONG cb2) override {
        ++calls_["FciStatus"];
        return CCabManager::FciStatus(typeStatus, cb1, cb2);
    }
    BOOL FciGetTempFile(char *pszTempName, int cbTempName) override {
        ++calls_["FciGetTempFile"];
        return CCabManager::FciGetTempFile(pszTempName, cbTempName);
    }
    HRESULT SetCabSettings(const char *pszCabFolder, const char *pszCabName,
                           int nSettingsParam) override {
        ++calls_["SetCabSettings"];
        return SmallCabinetManager::SetCabSettings(pszCabFolder, pszCabName, nSettingsParam);
    }
};

class SpanningSetTest : public CabManagerTest {
protected:
    // Eight files of 20 000 bytes that do not compress, in cabinets of at most 30 000 bytes.
    void MakeSet() {
        source_ = dir_ / "source";
        for (int i = 0; i < 8; ++i) {
            std::string folder = i < 4 ? "" : "nested/";
            WriteFile(source_ / (folder + "f" + std::to_string(i) + ".bin"),
                      RandomBytes(20000, 100 + i));
        }
        WriteFile(source_ / "nested" / "tiny.txt", "tiny");
        fs::create_directories(dir_ / "set");
        first_ = dir_ / "set" / "span.first.cab";
        CallCounter manager(30000, &calls_);
        Pack(manager, source_, first_);
    }

    fs::path source_;
    fs::path first_;
    std::map<std::string, int> calls_;
};

TEST_F(SpanningSetTest, FurtherCabinetsAreNamedFromTheBaseAndTheBridgeSeesEveryCall) {
    MakeSet();
    std::set<std::string> names;
    for (auto &entry : fs::directory_iterator(dir_ / "set")) {
        names.insert(entry.path().filename().string());
    }
    ASSERT_GE(names.size(), 5u);
    EXPECT_TRUE(names.count("span.first.cab"));
    for (const std::string &name : names) {
        if (name != "span.first.cab") {
            EXPECT_TRUE(name.size() == 11 && name.rfind("span", 0) == 0 &&
                        name.substr(name.size() - 4) == ".cab" &&
                        std::all_of(name.begin() + 4, name.end() - 4, ::isdigit))
                << name;
            EXPECT_LE(fs::file_size(dir_ / "set" / name), 30000u);
        }
    }
    for (const char *member :
         {"FciOpen", "FciRead", "FciWrite", "FciClose", "FciGetNextCabinet", "FciFilePlaced",
          "FciGetOpenInfo", "FciStatus", "FciGetTempFile", "SetCabSettings"}) {
        EXPECT_GT(calls_[member], 0) << member;
    }
    EXPECT_EQ(calls_["FciGetOpenInfo"], 9);
    EXPECT_EQ(calls_["FciGetNextCabinet"], static_cast<int>(names.size()) - 1);

    // The context's temporary file goes when the next run replaces the context; at destruction
    // the derived part is gone already, so only the base member sees that deletion.
    std::map<std::string, int> again;
    {
        CallCounter manager(0, &again);
        manager.AddFileToCompress(W(source_ / "f0.bin").c_str(), nullptr);
        int added = 0;
        ASSERT_EQ(manager.CompressFiles(W(dir_ / "d1.cab").c_str(), 0, &added), S_OK);
        EXPECT_EQ(again["FciDelete"], 0);
        ASSERT_EQ(manager.CompressFiles(W(dir_ / "d2.cab").c_str(), 0, &added), S_OK);
        EXPECT_EQ(again["FciDelete"], 1);
    }
    EXPECT_EQ(again["FciDelete"], 1);

    std::map<std::string, int> reads;
    CallCounter reader(0, &reads);
    ASSERT_EQ(Unpack(reader, first_, dir_ / "out"), S_OK);
    EXPECT_EQ(reads["FdiNotify2"], 9);
    EXPECT_EQ(reads["FdiNotify3"], 9);
    EXPECT_GE(reads["FdiNotify0"], static_cast<int>(names.size()));
}

// Files that begin in a later cabinet of the set are counted and extracted too.
TEST_F(SpanningSetTest, WholeSetIsCountedAndExtracted) {
    MakeSet();
    OpenManager manager;
    ASSERT_EQ(Unpack(manager, first_, dir_ / "out"), S_OK);
    EXPECT_EQ(manager.m_cTotalFiles, 9);
    EXPECT_EQ(manager.m_vecFiles.size(), 9u);
    EXPECT_EQ(ReadTree(dir_ / "out"), ReadTree(source_));
    // Another reader follows the same names from one part to the next.
    if (std::system("command -v cabextract >/dev/null 2>&1") == 0) {
        fs::path other = dir_ / "other";
        fs::create_directories(other);
        std::string command =
            "cabextract -q -d '" + other.string() + "' '" + first_.string() + "' >/dev/null 2>&1";
        EXPECT_EQ(std::system(command.c_str()), 0);
        EXPECT_EQ(ReadTree(other), ReadTree(source_));
    }
}

// A set with a part missing, or whose parts name each other in a circle, fails with a report
// instead of leaving files out or going round for ever.
TEST_F(SpanningSetTest, BrokenSetsFail) {
    MakeSet();
    fs::path second = dir_ / "set" / "span001.cab";
    ASSERT_TRUE(fs::exists(dir_ / "set" / "span002.cab"));
    std::string bytes = ReadFile(second);
    fs::remove(second);
    {
        OpenManager manager;
        std::string text;
        EXPECT_EQ(Unpack(manager, first_, dir_ / "out1", nullptr, &text), E_FAIL);
        EXPECT_REPORTED(text, "FDICopy failed. Error (1) - Cabinet not found");
    }
    // The second part names itself as the next one.
    size_t at = bytes.find("span002.cab");
    ASSERT_NE(at, std::string::npos);
    bytes.replace(at, 11, "span001.cab");
    WriteFile(second, bytes);
    {
        OpenManager manager;
        std::string text;
        EXPECT_EQ(Unpack(manager, first_, dir_ / "out2", nullptr, &text), E_FAIL);
        EXPECT_REPORTED(text,
                        "{CCabManager::CopyCabinetSet}[FAIL] Invalid next cabinet "
                        "span001.cab after span001.cab");
    }
}

TEST_F(SpanningSetTest, CoalescingKeepsEveryNameAndLeavesTheTemporaryFolderAsItWas) {
    MakeSet();
    fs::path temp = dir_ / "temp";
    // A file already in the temporary folder under a name from the set stays as it is.
    WriteFile(temp / "f0.bin", "precious");
    ScopedEnv env("TMPDIR", temp.string());
    fs::path target = dir_ / "one" / "whole.cab";
    fs::create_directories(target.parent_path());

    // What the temporary folder holds besides the compression context's own file.
    auto leftovers = [&temp] {
        std::vector<std::string> names;
        for (auto &entry : fs::directory_iterator(temp)) {
            std::string name = entry.path().filename().string();
            if (name.rfind("KWB_", 0) != 0)
                names.push_back(name);
        }
        return names;
    };
    {
        OpenManager manager;
        {
            CapturedReports reports;
            ASSERT_EQ(manager.CoalesceCabinets(W(first_).c_str(), W(target).c_str()), S_OK)
                << reports.Take();
        }
        EXPECT_EQ(ReadFile(temp / "f0.bin"), "precious");
        EXPECT_EQ(leftovers(), std::vector<std::string>{"f0.bin"});
        EXPECT_EQ(
            std::distance(fs::directory_iterator(target.parent_path()), fs::directory_iterator()),
            1);
        // The list names the source set's files, and the target keeps their names.
        std::vector<std::string> listed = manager.Names();
        std::sort(listed.begin(), listed.end());
        EXPECT_EQ(listed,
                  (std::vector<std::string>{"f0.bin", "f1.bin", "f2.bin", "f3.bin",
                                            "nested\\f4.bin", "nested\\f5.bin", "nested\\f6.bin",
                                            "nested\\f7.bin", "nested\\tiny.txt"}));
        OpenManager reader;
        ASSERT_EQ(Unpack(reader, target, dir_ / "out"), S_OK);
        EXPECT_EQ(ReadTree(dir_ / "out"), ReadTree(source_));

        // On failure the extracted files go too.
        std::string text;
        {
            CapturedReports reports;
            EXPECT_EQ(manager.CoalesceCabinets(W(first_).c_str(), L"nowhere.cab"), E_FAIL);
            text = reports.Take();
        }
        EXPECT_REPORTED(text, "{CCabManager::CoalesceCabinets}[FAIL] CompressFiles failed");
        EXPECT_EQ(leftovers(), std::vector<std::string>{"f0.bin"});
    }
    EXPECT_EQ(ReadTree(temp).size(), 1u);
}

TEST_F(CabManagerTest, CoalescingRemovesReadOnlyFilesAndFoldersItMade) {
    fs::path root = dir_ / "src";
    WriteFile(root / "deep" / "er" / "ro.txt", "read only");
    fs::permissions(root / "deep" / "er" / "ro.txt", fs::perms::owner_write,
                    fs::perm_options::remove);
    OpenManager packer;
    Pack(packer, root, dir_ / "ro.cab");
    fs::path temp = dir_ / "temp";
    fs::create_directories(temp);
    ScopedEnv env("TMPDIR", temp.string());
    // The compression context keeps its temporary file until the manager goes.
    {
        OpenManager manager;
        CapturedReports reports;
        EXPECT_EQ(manager.CoalesceCabinets(W(dir_ / "ro.cab").c_str(), W(dir_ / "co.cab").c_str()),
                  S_OK)
            << reports.Take();
    }
    EXPECT_TRUE(fs::is_empty(temp));
    // A missing source leaves nothing behind either.
    {
        OpenManager manager;
        std::string text;
        {
            CapturedReports reports;
            EXPECT_EQ(
                manager.CoalesceCabinets(W(dir_ / "none.cab").c_str(), W(dir_ / "x.cab").c_str()),
                E_FAIL);
            text = reports.Take();
        }
        EXPECT_REPORTED(text, "{CCabManager::CoalesceCabinets}[FAIL] DecompressCabFile failed");
    }
    EXPECT_TRUE(fs::is_empty(temp));
}

// A set made elsewhere: every part renamed to the name its predecessor's header gives it.
TEST_F(CabManagerTest, CorpusSpanningSetIsExtractedWhole) {
    fs::path corpus = fs::path(CABMGR_CORPUS_DIR) / "libmspack" / "cabextract-cabs";
    if (!fs::exists(corpus / "split-1.cab"))
        GTEST_SKIP() << "corpus not present";
    fs::create_directories(dir_ / "set");
    fs::copy_file(corpus / "split-1.cab", dir_ / "set" / "split-1.cab");
    for (int i = 2; i <= 5; ++i) {
        fs::copy_file(corpus / ("split-" + std::to_string(i) + ".cab"),
                      dir_ / "set" / ("Split-" + std::to_string(i) + ".CAB"));
    }
    OpenManager manager;
    std::string text;
    ASSERT_EQ(Unpack(manager, dir_ / "set" / "split-1.cab", dir_ / "out", nullptr, &text), S_OK)
        << text;
    const std::map<std::string, uintmax_t> want = {
        {"small1.bin", 2000},   {"small2.bin", 8000}, {"medium1.bin", 40000},
        {"medium2.bin", 50000}, {"small3.bin", 128},  {"medium3.bin", 40000},
    };
    EXPECT_EQ(manager.m_cTotalFiles, 6);
    for (const auto &[name, size] : want) {
        ASSERT_TRUE(fs::exists(dir_ / "out" / name)) << name;
        EXPECT_EQ(fs::file_size(dir_ / "out" / name), size) << name;
    }
}

}  // namespace

// The cabinet manager: file records, folder walk, compression, extraction, spanning sets,
// coalescing, the callback bridge, cancel and progress.
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <tuple>

#include "tests/support/manager.h"

namespace {

using namespace cab::test;
using Names = std::vector<std::string>;

// "{F}M" stands for a report line of function F whose message holds M.
::testing::AssertionResult Reported(const std::string &text, const std::string &part) {
    size_t split = part[0] == '{' ? part.find('}') + 1 : 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        size_t at = line.find(part.substr(0, split));
        if (at != std::string::npos && line.find(part.substr(split), at) != std::string::npos)
            return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "missing: " << part << "\nin:\n" << text;
}
#define EXPECT_REPORTED(text, part) EXPECT_TRUE(Reported((text), (part)))

class CabManagerTest : public ::testing::Test {
protected:
    // a.txt, empty.txt, sub/b.txt, sub/deeper/c.txt
    fs::path MakeTree(const std::string &name) {
        fs::path root = dir_ / name;
        WriteFile(root / "a.txt", "alpha alpha alpha");
        WriteFile(root / "empty.txt", "");
        WriteFile(root / "sub" / "b.txt", RandomBytes(70000, 1));
        WriteFile(root / "sub" / "deeper" / "c.txt", std::string(100000, 'c'));
        return root;
    }

    void Pack(OpenManager &manager, const fs::path &folder, const fs::path &cab) {
        CapturedReports reports;
        ASSERT_EQ(manager.CompressFilesInFolder(W(folder).c_str(), W(cab).c_str(), 0, 1), S_OK)
            << reports.Take();
    }

    // A cabinet holding the given names, each a small file of its own.
    fs::path PackNames(const Names &names, const std::string &cab_name) {
        OpenManager manager;
        for (size_t i = 0; i < names.size(); ++i) {
            fs::path file = dir_ / ("src_" + cab_name) / std::to_string(i);
            WriteFile(file, "data of " + names[i]);
            manager.AddFileToCompress(W(file).c_str(), cab::AcpToWide(names[i]).c_str());
        }
        fs::path cab = dir_ / cab_name;
        int added = 0;
        CapturedReports reports;
        EXPECT_EQ(manager.CompressFiles(W(cab).c_str(), 0, &added), S_OK) << reports.Take();
        EXPECT_EQ(added, static_cast<int>(names.size()));
        return cab;
    }

    HRESULT Unpack(CCabManager &manager, const fs::path &cab, const fs::path &dest,
                   const wchar_t *filters = nullptr, std::string *text = nullptr) {
        std::wstring out_folder;
        CapturedReports reports;
        HRESULT hr =
            manager.DecompressCabFile(W(cab).c_str(), W(dest).c_str(), filters, &out_folder);
        if (text != nullptr)
            *text = reports.Take();
        return hr;
    }

    Scratch scratch_{"manager"};
    fs::path dir_ = scratch_.path();
};

// --- Records, settings, error texts ---------------------------------------------------------

// Without a name the narrow form keeps everything after the first separator (extracted files
// are recorded so), the wide form only the file's own name. Limits count ANSI bytes.
TEST(FileRecord, InitializeRules) {
    const auto *no_name = static_cast<const char *>(nullptr);
    const auto *no_wname = static_cast<const wchar_t *>(nullptr);
    CFileInCab file;
    ASSERT_EQ(file.Initialize("/out/sub/b.txt", no_name), S_OK);
    EXPECT_STREQ(file.szNameInCab, "out\\sub\\b.txt");
    ASSERT_EQ(file.Initialize("C:\\out\\b.txt", no_name), S_OK);
    EXPECT_STREQ(file.szNameInCab, "out\\b.txt");
    ASSERT_EQ(file.Initialize(L"C:\\out\\sub\\b.txt", no_wname), S_OK);
    EXPECT_STREQ(file.szNameInCab, "b.txt");
    ASSERT_EQ(file.Initialize(L"/out/sub/b.txt", L""), S_OK);
    EXPECT_STREQ(file.szNameInCab, "b.txt");
    ASSERT_EQ(file.Initialize(L"/out/sub/b.txt", L"sub/b.txt"), S_OK);
    EXPECT_STREQ(file.szNameInCab, "sub\\b.txt");

    CapturedReports reports;
    EXPECT_EQ(file.Initialize("a.txt", no_name), E_FAIL);
    EXPECT_EQ(file.Initialize(L"a.txt", no_wname), E_FAIL);
    std::string narrow259 = "/" + std::string(258, 'n');
    EXPECT_EQ(file.Initialize(narrow259.c_str(), "x"), S_OK);
    EXPECT_EQ(file.Initialize((narrow259 + "n").c_str(), "x"), STRSAFE_E_INSUFFICIENT_BUFFER);
    // U+00E9 takes two bytes: 1 + 129 * 2 = 259.
    std::wstring wide259 = L"/" + std::wstring(129, L'\u00e9');
    EXPECT_EQ(file.Initialize(wide259.c_str(), L"x"), S_OK);
    EXPECT_EQ(strlen(file.szFilePath), 259u);
    EXPECT_EQ(file.Initialize((wide259 + L"e").c_str(), L"x"), E_FAIL);
    EXPECT_EQ(file.Initialize(L"/x", std::wstring(130, L'\u00e9').c_str()), E_FAIL);
    EXPECT_REPORTED(reports.Take(), "{CFileInCab::Initialize}[FAIL] Invalid file path");
}

TEST(CabSettings, SplitCabPathKeepsTheSeparatorWithTheFolder) {
    struct Case {
        std::wstring path;
        size_t cch_folder, cch_name;
        HRESULT hr;
        const char *folder, *name;
    } cases[] = {
        {L"/out/my.data.cab", MAX_PATH, MAX_PATH, S_OK, "/out/", "my.data.cab"},
        {L"C:\\out\\x.cab", MAX_PATH, MAX_PATH, S_OK, "C:\\out\\", "x.cab"},
        {L"/out/", MAX_PATH, MAX_PATH, S_OK, "/out/", ""},
        {L"out.cab", MAX_PATH, MAX_PATH, E_FAIL, nullptr, nullptr},
        {L"/abc/x.cab", 5, MAX_PATH, STRSAFE_E_INSUFFICIENT_BUFFER, nullptr, nullptr},
        {L"/a/long.cab", MAX_PATH, 4, STRSAFE_E_INSUFFICIENT_BUFFER, nullptr, nullptr},
        {L"/" + std::wstring(259, L'x'), MAX_PATH, MAX_PATH, E_FAIL, nullptr, nullptr},
    };
    for (const Case &c : cases) {
        char folder[MAX_PATH], name[MAX_PATH];
        CapturedReports reports;
        HRESULT hr =
            CCabManager::SplitCabPath(c.path.c_str(), folder, c.cch_folder, name, c.cch_name);
        std::string text = reports.Take();
        EXPECT_EQ(hr, c.hr) << cab::WideToAcp(c.path);
        if (c.hr == S_OK) {
            EXPECT_STREQ(folder, c.folder);
            EXPECT_STREQ(name, c.name);
        } else {
            EXPECT_REPORTED(text, "{CCabManager::SplitCabPath}[FAIL] ");
        }
    }
}

// --- Folder walk ----------------------------------------------------------------------------

// Names are relative to the root however it is spelled; the walk is depth first, so each
// folder's files, its sub-folders' included, stand together in the list.
TEST_F(CabManagerTest, WalkNamesAreRelativeToTheRootAndDepthFirst) {
    fs::path root = MakeTree("tree");
    for (const char *name : {".hidden", "p/1", "p/q/1", "p/q/r/1", "s/1", "s/t/1", "u/1"})
        WriteFile(root / name, "h");
    for (const std::wstring &spelling :
         {W(root), W(root) + L"/", W(root) + L"//", W(root) + L"\\"}) {
        OpenManager manager;
        ASSERT_EQ(manager.AddFilesInFolderToList(spelling.c_str(), spelling.c_str(), 1), S_OK);
        EXPECT_EQ(manager.Names(true),
                  (Names{".hidden", "a.txt", "empty.txt", "p\\1", "p\\q\\1", "p\\q\\r\\1", "s\\1",
                         "s\\t\\1", "sub\\b.txt", "sub\\deeper\\c.txt", "u\\1"}));
        for (const CFileInCab &file : manager.m_vecFiles)
            EXPECT_TRUE(fs::exists(file.szFilePath)) << file.szFilePath;
        Names names = manager.Names();
        for (const std::string prefix : {"p\\", "p\\q\\", "s\\", "sub\\"}) {
            std::vector<size_t> at;
            for (size_t i = 0; i < names.size(); ++i) {
                if (names[i].starts_with(prefix))
                    at.push_back(i);
            }
            EXPECT_EQ(at.back() - at.front() + 1, at.size()) << prefix;
        }
    }
    OpenManager flat;
    ASSERT_EQ(flat.AddFilesInFolderToList(W(root).c_str(), W(root).c_str(), 0), S_OK);
    EXPECT_EQ(flat.m_vecFiles.size(), 3u);
    // A sub-folder walked below the root keeps the root's names.
    OpenManager below;
    ASSERT_EQ(below.AddFilesInFolderToList(W(root).c_str(), W(root / "sub").c_str(), 0), S_OK);
    EXPECT_EQ(below.Names(), Names{"sub\\b.txt"});
}

// Links to folders are followed, but never back into the walk, so the walk ends.
TEST_F(CabManagerTest, WalkFollowsLinksButNeverBackIntoTheWalk) {
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
    // Two links to one folder beside each other are two walks, neither inside itself.
    EXPECT_EQ(manager.Names(true), (Names{"a.txt", "ext1\\x.txt", "ext2\\x.txt", "sub\\b.txt"}));
}

// --- Compression and extraction -------------------------------------------------------------

// The chosen type reaches every folder, and for LZX the threshold where folders end; other values
// are refused and change nothing.
TEST_F(CabManagerTest, CompressionChoiceReachesTheFolders) {
    OpenManager manager;
    for (TCOMP bad : {TCOMP(tcompTYPE_QUANTUM), TCOMP(TCOMPfromLZXWindow(14)),
                      TCOMP(TCOMPfromLZXWindow(22)), TCOMP(TCOMPfromLZXWindow(21) | 0x10),
                      TCOMP(TCOMPfromMSZIPLevel(10)), TCOMP(tcompTYPE_MSZIP | 0x100)}) {
        CapturedReports reports;
        EXPECT_EQ(manager.SetCompression(bad), E_INVALIDARG) << bad;
    }
    EXPECT_EQ(manager.GetCompression(), tcompTYPE_MSZIP);
    fs::path root = MakeTree("src");
    // Stored, in one folder; LZX folders end at the first file end past 60 KB of input (the walk's
    // order decides which).
    const struct {
        TCOMP type;
        ULONG threshold;
        int min_folders, max_folders;
    } cases[] = {{tcompTYPE_NONE, 0, 1, 1}, {TCOMPfromLZXWindow(15), 60000, 2, 3}};
    for (const auto &c : cases) {
        ASSERT_EQ(manager.SetCompression(c.type, c.threshold), S_OK);
        Pack(manager, root, dir_ / "c.cab");
        std::string cab = ReadFile(dir_ / "c.cab");
        // CFHEADER.cFolders at 26, the first CFFOLDER.typeCompress at 36 + 6.
        EXPECT_GE(cab[26], c.min_folders);
        EXPECT_LE(cab[26], c.max_folders);
        EXPECT_EQ(uint8_t(cab[42]) | uint8_t(cab[43]) << 8, c.type);
        OpenManager unpacker;
        ASSERT_EQ(Unpack(unpacker, dir_ / "c.cab", dir_ / "out"), S_OK);
        EXPECT_EQ(ReadTree(dir_ / "out"), ReadTree(root));
    }
}

// A folder or a FIFO is refused when it is named (a FIFO would make the operation wait for ever);
// a file that cannot be stored is named with the reason, the others are stored, and the run fails
// once the cabinet is written (the reasons are the end-to-end suite's).
TEST_F(CabManagerTest, FilesThatCannotBeStoredAreNamedAndFailTheRun) {
    OpenManager manager;
    WriteFile(dir_ / "good.txt", "good");
    fs::create_directories(dir_ / "folder");
    ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0600), 0);
    manager.AddFileToCompress(W(dir_ / "gone.txt").c_str(), nullptr);
    for (const char *odd : {"folder", "fifo"}) {
        CapturedReports reports;
        EXPECT_EQ(manager.AddFileToCompress(W(dir_ / odd).c_str(), nullptr), E_INVALIDARG);
        EXPECT_REPORTED(reports.Take(), (dir_ / odd).string() + " is not a regular file");
    }
    manager.AddFileToCompress(W(dir_ / "good.txt").c_str(), nullptr);
    int added = 0;
    CapturedReports reports;
    EXPECT_EQ(manager.CompressFiles(W(dir_ / "c.cab").c_str(), 0, &added), E_FAIL);
    EXPECT_EQ(added, 1);
    EXPECT_EQ(manager.GetFailedFiles(), 1);
    std::string text = reports.Take();
    EXPECT_REPORTED(text, (dir_ / "gone.txt").string() +
                              " not stored: The system cannot find the file specified.");
    EXPECT_REPORTED(text, "{CCabManager::CompressFiles}[FAIL] 1 of 2 file(s) could not be stored");
}

// Filters match file names alone, against every pattern. Extraction overwrites, and adds one
// separator to the destination, a trailing backslash counting as one.
TEST_F(CabManagerTest, FiltersMatchFileNamesOnlyAgainstEveryPattern) {
    fs::path cab = PackNames({"y.txt", "x.log", "z.bin", "sub\\a.txt", "A.TXT"}, "f.cab");
    fs::path dest = dir_ / "dest";
    const Names all = {"A.TXT", "sub\\a.txt", "x.log", "y.txt", "z.bin"};
    const std::tuple<const wchar_t *, std::string, Names> cases[] = {
        {L"*.txt;*.log", "", {"sub\\a.txt", "x.log", "y.txt"}},
        {L"a.txt", "/", {"sub\\a.txt"}},
        {L";;;", "\\", {}},
        {L"", "", all},
        {nullptr, "/", all},
    };
    WriteFile(dest / "y.txt", "old content that is longer");
    for (const auto &[filters, separator, want] : cases) {
        OpenManager manager;
        ASSERT_EQ(Unpack(manager, cab, dest.string() + separator, filters), S_OK);
        EXPECT_EQ(manager.Names(true), want) << separator;
        EXPECT_EQ(manager.m_cTotalFiles, 5);
        EXPECT_EQ(std::string(manager.m_szDestFolder), dest.string() + "/");
    }
    EXPECT_EQ(ReadFile(dest / "y.txt"), "data of y.txt");
    EXPECT_EQ(ReadFile(dest / "sub" / "a.txt"), "data of sub\\a.txt");
}

// --- Cancel and progress --------------------------------------------------------------------

// Cancels at the first status of a pack, at the second file of an unpack; or calls Initialize at
// every status, which would release the contexts in use: refused, and the run goes on.
class Canceller : public OpenManager {
public:
    explicit Canceller(bool initialize = false) : initialize_(initialize) {}
    HRESULT result_ = S_OK;

protected:
    long FciStatus(UINT, ULONG, ULONG) override {
        if (initialize_)
            result_ = Initialize();
        else
            SetCancel(1);
        return 0;
    }
    INT_PTR FdiNotify(FDINOTIFICATIONTYPE fdint, PFDINOTIFICATION pfdin) override {
        if (fdint == fdintCOPY_FILE && ++copies_ == 2)
            SetCancel(1);
        return CCabManager::FdiNotify(fdint, pfdin);
    }

private:
    bool initialize_;
    int copies_ = 0;
};

TEST_F(CabManagerTest, CancelFromADerivedCallbackStopsTheOperation) {
    fs::path cab = PackNames({"1.txt", "2.txt", "3.txt"}, "three.cab");
    Canceller manager;
    std::string text;
    EXPECT_EQ(Unpack(manager, cab, dir_ / "out", nullptr, &text), E_FAIL);
    EXPECT_REPORTED(text,
                    "{CCabManager::DecompressCabFile}[FAIL] FDICopy failed. Error (11) - "
                    "User aborted");
    EXPECT_TRUE(fs::exists(dir_ / "out" / "1.txt"));
    EXPECT_FALSE(fs::exists(dir_ / "out" / "2.txt"));
    fs::path src = MakeTree("src");
    Canceller initializer(true);
    auto pack = [&](OpenManager &packer, HRESULT want) {
        return CapturedStdout([&] {
            EXPECT_EQ(packer.CompressFilesInFolder(W(src).c_str(), W(dir_ / "c.cab").c_str(), 0, 1),
                      want);
        });
    };
    EXPECT_REPORTED(pack(manager, E_FAIL), "(7) Client requested abort");
    EXPECT_REPORTED(pack(initializer, S_OK), "{CCabManager::Initialize}[FAIL] Initialize refused");
    EXPECT_EQ(initializer.result_, E_UNEXPECTED);
    EXPECT_EQ(initializer.Initialize(), S_OK);
}

struct ProgressLog {
    std::vector<std::pair<int, int>> events;  // all but the byte events
    int bytes_percent = -1;                   // of the last byte event
    static void Record(void *context, int event, int value) {
        auto *log = static_cast<ProgressLog *>(context);
        if (event == CABPROGRESS_BYTES)
            log->bytes_percent = value;
        else
            log->events.emplace_back(event, value);
    }
};

TEST_F(CabManagerTest, ProgressReportsEachFileAndTheEndOfEachOperation) {
    using Events = std::vector<std::pair<int, int>>;
    fs::path cab = PackNames({"1", "2", "3", "4"}, "four.cab");
    ProgressLog log;
    OpenManager manager;
    manager.SetProgressCallback(&ProgressLog::Record, &log);
    ASSERT_EQ(Unpack(manager, cab, dir_ / "out"), S_OK);
    EXPECT_EQ(log.events, (Events{{1, 25}, {1, 50}, {1, 75}, {1, 100}, {3, 0}}));
    CABPROGRESSINFO info;
    manager.GetProgress(&info);
    EXPECT_EQ(info.cbDone, 36u);
    EXPECT_EQ(info.cbTotal, 36u);
    EXPECT_STREQ(info.pszFile, "4");
    EXPECT_EQ(log.bytes_percent, 100);
    // A total of zero counts every step as complete; an early failure still ends the run.
    log.events.clear();
    manager.m_cTotalFiles = 0;
    int added = 0;
    ASSERT_EQ(manager.CompressFiles(W(dir_ / "zero.cab").c_str(), 0, &added), S_OK);
    EXPECT_EQ(log.events, (Events{{0, 100}, {0, 100}, {0, 100}, {0, 100}, {2, 0}}));
    log.events.clear();
    CapturedReports reports;
    EXPECT_EQ(manager.CompressFiles(L"bare.cab", 0, &added), E_FAIL);
    EXPECT_EQ(log.events, (Events{{2, 0}}));
}

// --- Spanning sets, the bridge, coalescing --------------------------------------------------

#define COUNTED(result, name, params, args)    \
    result name params override {              \
        ++calls_[#name];                       \
        return SmallCabinetManager::name args; \
    }

// Counts every callback and forwards it, so the bridge can be checked call by call.
class CallCounter : public SmallCabinetManager {
public:
    CallCounter(ULONG cb, std::map<std::string, int> *calls)
        : SmallCabinetManager(cb), calls_(*calls) {}

protected:
    INT_PTR FdiNotify(FDINOTIFICATIONTYPE fdint, PFDINOTIFICATION pfdin) override {
        ++calls_["FdiNotify" + std::to_string(fdint)];
        return CCabManager::FdiNotify(fdint, pfdin);
    }
    COUNTED(INT_PTR, FciOpen, (char *f, int o, int p, int *e), (f, o, p, e))
    COUNTED(UINT, FciRead, (INT_PTR h, void *m, UINT cb, int *e), (h, m, cb, e))
    COUNTED(UINT, FciWrite, (INT_PTR h, void *m, UINT cb, int *e), (h, m, cb, e))
    COUNTED(int, FciClose, (INT_PTR h, int *e), (h, e))
    COUNTED(BOOL, FciGetNextCabinet, (PCCAB c, ULONG cb), (c, cb))
    COUNTED(int, FciFilePlaced, (PCCAB c, char *f, long cb, BOOL k), (c, f, cb, k))
    COUNTED(INT_PTR, FciGetOpenInfo, (char *f, USHORT *d, USHORT *t, USHORT *a, int *e),
            (f, d, t, a, e))
    COUNTED(long, FciStatus, (UINT t, ULONG a, ULONG b), (t, a, b))
    COUNTED(BOOL, FciGetTempFile, (char *f, int cb), (f, cb))
    COUNTED(HRESULT, SetCabSettings, (const char *f, const char *n, int p), (f, n, p))

private:
    std::map<std::string, int> &calls_;
};

class SpanningSetTest : public CabManagerTest {
protected:
    // Nine files, eight of 20 000 bytes that do not compress, in cabinets of at most 30 000
    // bytes; nested/tiny.txt is read-only.
    void SetUp() override {
        source_ = dir_ / "source";
        for (int i = 0; i < 8; ++i) {
            WriteFile(source_ / ((i < 4 ? "f" : "nested/f") + std::to_string(i) + ".bin"),
                      RandomBytes(20000, 100 + i));
        }
        WriteFile(source_ / "nested" / "tiny.txt", "tiny");
        fs::permissions(source_ / "nested" / "tiny.txt", fs::perms::owner_write,
                        fs::perm_options::remove);
        fs::create_directories(dir_ / "set");
        first_ = dir_ / "set" / "span.first.cab";
        CallCounter manager(30000, &calls_);
        Pack(manager, source_, first_);
    }

    fs::path source_;
    fs::path first_;
    std::map<std::string, int> calls_;
};

// Further cabinets are named from the base (the end-to-end suite's sets show how).
TEST_F(SpanningSetTest, TheBridgeSeesEveryCall) {
    int parts = static_cast<int>(std::distance(fs::directory_iterator(dir_ / "set"), {}));
    ASSERT_GE(parts, 5);
    for (const char *member : {"FciOpen", "FciRead", "FciWrite", "FciClose", "FciFilePlaced",
                               "FciStatus", "FciGetTempFile", "SetCabSettings"}) {
        EXPECT_GT(calls_[member], 0) << member;
    }
    EXPECT_EQ(calls_["FciGetOpenInfo"], 9);
    EXPECT_EQ(calls_["FciGetNextCabinet"], parts - 1);

    std::map<std::string, int> reads;
    CallCounter reader(0, &reads);
    ASSERT_EQ(Unpack(reader, first_, dir_ / "out"), S_OK);
    EXPECT_EQ(reads["FdiNotify2"], 9);  // fdintCOPY_FILE
    EXPECT_EQ(reads["FdiNotify3"], 9);  // fdintCLOSE_FILE_INFO
    EXPECT_GE(reads["FdiNotify0"], parts);
    // Files that begin in a later cabinet of the set are counted and extracted too.
    EXPECT_EQ(reader.m_cTotalFiles, 9);
    EXPECT_EQ(ReadTree(dir_ / "out"), ReadTree(source_));
}

// A set whose parts name each other in a circle fails with a report instead of going round for
// ever, and one that names a part in another folder before FDI reads it to finish a file (a
// missing part is the end-to-end suite's).
TEST_F(SpanningSetTest, CircularSetsFail) {
    fs::path second = dir_ / "set" / "span.first001.cab";
    std::string bytes = ReadFile(second), text, head = ReadFile(first_);
    OpenManager manager;
    fs::copy_file(second, dir_ / "x.first001.cab");
    size_t next = head.find("span.first001.cab");
    ASSERT_NE(next, std::string::npos);
    WriteFile(first_, std::string(head).replace(next, 17, "../x.first001.cab"));
    EXPECT_EQ(Unpack(manager, first_, dir_ / "out3", nullptr, &text), E_FAIL);
    EXPECT_REPORTED(text, "not extracted: the cabinet it goes on in is not the next part");
    WriteFile(first_, head);
    // The second part names itself as the next one.
    size_t at = bytes.find("span.first002.cab");
    ASSERT_NE(at, std::string::npos);
    bytes.replace(at, 17, "span.first001.cab");
    WriteFile(second, bytes);
    EXPECT_EQ(Unpack(manager, first_, dir_ / "out2", nullptr, &text), E_FAIL);
    EXPECT_REPORTED(text,
                    "{CCabManager::CopyCabinetSet}[FAIL] Invalid next cabinet "
                    "span.first001.cab after span.first001.cab");
}

// Coalescing extracts into a folder of its own, keeps every name, and removes what it made
// (read-only files and folders too) on success and on failure. Initialize then releases the held
// compression context and its temporary file (the tool's runs check the destructor).
TEST_F(SpanningSetTest, CoalescingKeepsEveryNameAndLeavesTheTemporaryFolderAsItWas) {
    fs::path temp = dir_ / "temp";
    WriteFile(temp / "f0.bin", "precious");
    ScopedEnv tmpdir("TMPDIR", temp.c_str());
    fs::path target = dir_ / "one" / "whole.cab";
    fs::create_directories(target.parent_path());
    {
        OpenManager manager;
        {
            CapturedReports reports;
            ASSERT_EQ(manager.CoalesceCabinets(W(first_).c_str(), W(target).c_str()), S_OK)
                << reports.Take();
        }
        EXPECT_EQ(ReadFile(temp / "f0.bin"), "precious");
        EXPECT_EQ(std::distance(fs::directory_iterator(target.parent_path()), {}), 1);
        EXPECT_EQ(manager.Names(true),
                  (Names{"f0.bin", "f1.bin", "f2.bin", "f3.bin", "nested\\f4.bin", "nested\\f5.bin",
                         "nested\\f6.bin", "nested\\f7.bin", "nested\\tiny.txt"}));
        OpenManager reader;
        ASSERT_EQ(Unpack(reader, target, dir_ / "out"), S_OK);
        EXPECT_EQ(ReadTree(dir_ / "out"), ReadTree(source_));

        CapturedReports reports;
        EXPECT_EQ(manager.CoalesceCabinets(W(first_).c_str(), L"nowhere.cab"), E_FAIL);
        EXPECT_EQ(manager.CoalesceCabinets(W(dir_ / "none.cab").c_str(), W(target).c_str()),
                  E_FAIL);
        const std::string &text = reports.Take();
        EXPECT_REPORTED(text, "{CCabManager::CoalesceCabinets}[FAIL] CompressFiles failed");
        EXPECT_REPORTED(text, "{CCabManager::CoalesceCabinets}[FAIL] DecompressCabFile failed");
        EXPECT_EQ(manager.Initialize(), S_OK);
        EXPECT_EQ(std::distance(fs::directory_iterator(temp), {}), 1);
    }
}

}  // namespace

// End to end through the cabmgr binary: trees packed and checked by the other cabinet tools,
// cabinets of other tools and of the shared corpus unpacked, exit statuses, unsafe names,
// damaged cabinets, the progress bar, and safe writes (links, failures, stops, sets).
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <iterator>
#include <regex>
#include <sstream>
#include <tuple>

#include "tests/support/cabinet.h"
#include "tests/support/manager.h"

namespace {

using namespace cab::test;

// A zone with daylight saving, so that a UTC/local mix-up shows in summer and in winter.
const char kZone[] = "TZ='CET-1CEST,M3.5.0,M10.5.0/3' ";

std::string Quote(const std::string &text) {
    std::string quoted = "'";
    for (char ch : text)
        quoted += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
    return quoted + "'";
}

std::vector<std::string> Split(const std::string &line, char separator) {
    std::vector<std::string> fields;
    std::stringstream stream(line);
    for (std::string field; std::getline(stream, field, separator);)
        fields.push_back(field);
    return fields;
}

struct RunResult {
    int status = -1;  // exit status, or -1 when the process did not exit normally
    std::string out;
    std::string err;
};

class CabmgrTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(fs::exists(tool_)) << tool_; }

    // Runs a shell command with standard input closed, capturing both outputs.
    RunResult Shell(const std::string &command) {
        fs::path out = work_ / ".stdout", err = work_ / ".stderr";
        int raw = std::system(
            ("(" + command + ") >" + Quote(out) + " 2>" + Quote(err) + " </dev/null").c_str());
        RunResult result;
        if (raw != -1 && WIFEXITED(raw))
            result.status = WEXITSTATUS(raw);
        result.out = ReadFile(out);
        result.err = ReadFile(err);
        return result;
    }

    template <typename Args = std::vector<fs::path>>
    RunResult Cabmgr(const Args &args) {
        std::string command = kZone + Quote(tool_);
        for (const auto &arg : args)
            command += " " + Quote(arg);
        return Shell(command);
    }

    Scratch scratch_{"e2e"};
    fs::path work_ = scratch_.path();
    fs::path tool_ = fs::path(CABMGR_BINARY_DIR) / "driver" / "cabmgr";
};

// --- Trees ---------------------------------------------------------------------------------------

int64_t Seconds(fs::file_time_type time) {
    using namespace std::chrono;
    return duration_cast<seconds>(file_clock::to_sys(time).time_since_epoch()).count();
}

// Nested folders, hidden, empty, read-only and non-ASCII names.
const std::vector<std::pair<std::string, std::string>> kTreeFiles = {
    {"top.txt", "top level\n"},
    {"empty.dat", ""},
    {".hidden", "dot file\n"},
    {"readonly.txt", "do not change\n"},
    {"nested/a/b/c/deep.txt", "four levels down\n"},
    {"nested/a/empty-too", ""},
    {"nested/.config/settings.ini", "[x]\ny=1\n"},
    {"donn\xc3\xa9"
     "es/r\xc3\xa9sum\xc3\xa9.txt",
     "accents\n"},
    {"\xe6\x97\xa5\xe6\x9c\xac/\xe3\x83\x95\xe3\x82\xa1\xe3\x82\xa4\xe3\x83\xab.txt", "CJK\n"},
    {"binary.bin", MixedBytes(300000, 7)},
};

// Distinct times (odd seconds too, which the cabinet rounds down); with `big`, a 50 MB file.
void MakeTree(const fs::path &root, bool big) {
    using namespace std::chrono;
    int i = 0;
    for (const auto &[name, data] : kTreeFiles) {
        WriteFile(root / name, data);
        sys_seconds when = sys_days{year{2019} / (1 + (i * 5) % 12) / (3 + i)} + hours{10 + i} +
                           minutes{20} + seconds{30 + i};
        fs::last_write_time(root / name, file_clock::from_sys(when));
        ++i;
    }
    if (big) {
        WriteFile(root / "big" / "fifty.bin", MixedBytes(50u << 20, 99));
        fs::last_write_time(root / "big" / "fifty.bin",
                            file_clock::from_sys(sys_days{year{2024} / 2 / 29} + hours{23} +
                                                 minutes{59} + seconds{58}));
    }
    fs::permissions(root / "readonly.txt",
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
}

std::set<std::string> RegularFiles(const fs::path &root) {
    std::set<std::string> names;
    for (const auto &entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file())
            names.insert(fs::relative(entry.path(), root).string());
    }
    return names;
}

bool OwnerCanWrite(const fs::path &path) {
    return (fs::status(path).permissions() & fs::perms::owner_write) != fs::perms::none;
}

// Same files with the same bytes; with `metadata`, also the DOS-rounded time and read-only.
void ExpectSameTree(const fs::path &expected, const fs::path &actual, bool metadata) {
    const std::map<std::string, std::string> want_tree = ReadTree(expected);
    ASSERT_TRUE(ReadTree(actual) == want_tree) << actual;
    for (const auto &[name, bytes] : want_tree) {
        SCOPED_TRACE(name);
        if (!metadata)
            return;
        int64_t want = Seconds(fs::last_write_time(expected / name));
        EXPECT_EQ(Seconds(fs::last_write_time(actual / name)), want - (want & 1));
        struct stat st;  // the access time is the writing's, not the stored date
        ASSERT_EQ(stat((actual / name).c_str(), &st), 0);
        EXPECT_GT(st.st_atime, want);
        EXPECT_EQ(OwnerCanWrite(actual / name), OwnerCanWrite(expected / name));
    }
}

// --- Packing and unpacking -----------------------------------------------------------------------

TEST_F(CabmgrTest, PeersReadOurCabinetsAndWeReadTheirs) {
    fs::path tree = work_ / "tree";
    MakeTree(tree, /*big=*/true);
    fs::path cab = work_ / "out" / "tree.cab";
    fs::create_directories(cab.parent_path());
    RunResult packed = Cabmgr({"c", tree, cab});
    ASSERT_EQ(packed.status, 0) << packed.out;
    EXPECT_EQ(packed.err, "");  // standard error is not a terminal: no progress bar

    ExpectPeersRead(cab, ReadTree(tree), work_);
    // Times are stored in local time: 2019-01-03 10:20:30 UTC is 11:20:30 in CET.
    RunResult listed = Shell(kZone + std::string("cabextract -l ") + Quote(cab));
    EXPECT_NE(listed.out.find("03.01.2019 11:20:30 | top.txt"), std::string::npos) << listed.out;

    // The stored attributes as 7-Zip reads them; hidden goes by a file's own name.
    RunResult attributes = Shell("7zz l -slt " + Quote(cab));
    for (const auto &[path, want] :
         std::map<std::string, std::string>{{"readonly.txt", "RA"},
                                            {".hidden", "HA"},
                                            {"nested/.config/settings.ini", "A"},
                                            {"top.txt", "A"}}) {
        std::regex entry("Path = " + path + "\n((?!Path = )[^\n]*\n)*?Attributes = " + want + "\n");
        EXPECT_TRUE(std::regex_search(attributes.out, entry)) << path << attributes.out;
    }

    fs::path unpacked = work_ / "unpacked" / "new";  // created with its parent
    RunResult result = Cabmgr({"d", cab, unpacked});
    ASSERT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(result.err, "");
    ExpectSameTree(tree, unpacked, /*metadata=*/true);

    // Unpacking what gcab made of the same files, compressed.
    fs::remove_all(tree / "big");
    std::string names;
    for (const auto &file : kTreeFiles)
        names += " " + Quote(file.first);
    RunResult made = Shell("cd " + Quote(tree) + " && gcab -cz ../gcab.cab" + names);
    ASSERT_EQ(made.status, 0) << made.err;
    ASSERT_EQ(Cabmgr({"d", work_ / "gcab.cab", work_ / "by-gcab"}).status, 0);
    ExpectSameTree(tree, work_ / "by-gcab", /*metadata=*/false);
}

// Command words, a list file with Windows line ends and no final line end, and names (arguments
// too) that are not UTF-8: stored as their bytes without the UTF-8 flag, so they come back read
// in the Windows code page, as other tools read them.
TEST_F(CabmgrTest, ListFilesAndNamesThatAreNotUtf8) {
    fs::path one = work_ / "one", two = work_ / "tw\xc3\xb6", three = work_ / "tree\xfe";
    WriteFile(one / "a.txt", "a\n");
    WriteFile(one / "sub" / "b.txt", "b\n");
    WriteFile(two / "c.txt", "c\n");
    WriteFile(three / "caf\xe9.txt", "latin-1 name\n");
    WriteFile(work_ / "list.txt", one.string() + "\r\n" + two.string());
    fs::path cab = work_ / "list\xfd.cab", out = work_ / "out\xfc";
    ASSERT_EQ(Cabmgr({"Compress", "@" + (work_ / "list.txt").string(), cab, "x"}).status, 0);
    ASSERT_EQ(Cabmgr({"D", cab, out}).status, 0);
    EXPECT_EQ(RegularFiles(out), (std::set<std::string>{"a.txt", "sub/b.txt", "c.txt"}));
    ASSERT_EQ(Cabmgr({"c", three, cab}).status, 0);
    ASSERT_EQ(Cabmgr({"d", cab, work_ / "latin"}).status, 0);
    EXPECT_EQ(ReadFile(work_ / "latin" / "caf\xc3\xa9.txt"), "latin-1 name\n");

    // A list that is not UTF-8 fails whole: no cabinet that silently lacks a folder.
    WriteFile(work_ / "bad-list.txt", one.string() + "\n" + three.string() + "\n");
    fs::path bad_cab = work_ / "bad.cab";
    EXPECT_EQ(Cabmgr({"c", "@" + (work_ / "bad-list.txt").string(), bad_cab}).status, 1);
    EXPECT_FALSE(fs::exists(bad_cab));
}

// --- Listing, testing, -p and the options --------------------------------------------------------

// "size date time name" of each file a listing shows, in its order: ours (-l) or cabextract's.
std::vector<std::string> ListedRows(const std::string &listing) {
    static const std::regex ours(R"((\d+) (\d{4})-(\d\d)-(\d\d) (\S+) [R-][H-][A-]  (.+))");
    static const std::regex theirs(R"((\d+) \| (\d\d)\.(\d\d)\.(\d{4}) (\S+) \| (.+))");
    std::vector<std::string> rows;
    for (const std::string &line : Split(listing, '\n')) {
        std::smatch m;
        if (std::regex_search(line, m, ours))
            rows.push_back(m[1].str() + " " + m[4].str() + "." + m[3].str() + "." + m[2].str() +
                           " " + m[5].str() + " " + m[6].str());
        else if (std::regex_search(line, m, theirs))
            rows.push_back(m[1].str() + " " + m[2].str() + "." + m[3].str() + "." + m[4].str() +
                           " " + m[5].str() + " " + m[6].str());
    }
    return rows;
}

std::string NameOfRow(const std::string &row) {
    return row.substr(row.find(' ', row.find(' ', row.find(' ') + 1) + 1) + 1);
}

std::set<std::string> NamesOfLines(const std::string &text) {
    std::vector<std::string> lines = Split(text, '\n');
    return std::set<std::string>(lines.begin(), lines.end());
}

TEST_F(CabmgrTest, ReadingCommandsAgreeWithCabextractAndTheTree) {
    fs::path tree = work_ / "tree", cab = work_ / "tree.cab";
    MakeTree(tree, /*big=*/false);
    RunResult packed = Cabmgr({"-v", "c", tree, cab});
    ASSERT_EQ(packed.status, 0) << packed.out;
    std::set<std::string> all;
    for (const auto &file : kTreeFiles)
        all.insert(file.first);
    EXPECT_EQ(NamesOfLines(packed.out), all);

    std::vector<std::string> rows = ListedRows(Cabmgr({"-l", cab}).out);
    EXPECT_EQ(rows, ListedRows(Shell("cabextract -l " + Quote(cab)).out));
    ASSERT_EQ(rows.size(), kTreeFiles.size());
    // -p: the files named, in the cabinet's order; all of them without a name.
    std::string everything, named;
    for (const std::string &row : rows) {
        everything += ReadFile(tree / NameOfRow(row));
        if (NameOfRow(row) == "top.txt" || NameOfRow(row) == "nested/a/b/c/deep.txt")
            named += ReadFile(tree / NameOfRow(row));
    }
    EXPECT_TRUE(Cabmgr({"-p", cab}).out == everything);
    RunResult missing = Cabmgr({"-p", cab, "nested/a/b/c/deep.txt", "top.txt", "absent.txt"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, named);
    EXPECT_NE(missing.err.find("no file named absent.txt"), std::string::npos) << missing.err;
    RunResult tested = Cabmgr({"-t", cab});
    EXPECT_EQ(tested.status, 0);
    EXPECT_EQ(tested.out + tested.err, "");

    // Filters, matched against file names alone, pick the same files in every command.
    std::set<std::string> texts;
    for (const auto &file : kTreeFiles)
        if (file.first.ends_with(".txt"))
            texts.insert(file.first);
    for (const auto &[filters, want] :
         std::vector<std::pair<std::vector<std::string>, std::set<std::string>>>{
             {{"-F", "*.txt"}, texts},
             {{"-F", "*.ini", "--filter=.h?dden"}, {"nested/.config/settings.ini", ".hidden"}},
             {{"-F", "nothing"}, {}}}) {
        SCOPED_TRACE(filters[1]);
        auto with = [&](std::vector<std::string> args) {
            args.insert(args.begin(), filters.begin(), filters.end());
            return Cabmgr(args);
        };
        fs::path out = work_ / "filtered";
        fs::remove_all(out);
        ASSERT_EQ(with({"d", cab.string(), out.string()}).status, 0);
        EXPECT_EQ(fs::exists(out) ? RegularFiles(out) : std::set<std::string>{}, want);
        std::set<std::string> listed;
        for (const std::string &row : ListedRows(with({"-l", cab.string()}).out))
            listed.insert(NameOfRow(row));
        EXPECT_EQ(listed, want);
        std::set<std::string> decoded = NamesOfLines(with({"-v", "-t", cab.string()}).out);
        EXPECT_EQ(decoded, want);
        std::string bytes;
        for (const std::string &row : rows)
            bytes += want.count(NameOfRow(row)) ? ReadFile(tree / NameOfRow(row)) : "";
        EXPECT_TRUE(with({"-p", cab.string()}).out == bytes);
    }

    // -k keeps a changed file and fails naming it; -q leaves only the summary.
    fs::path out = work_ / "out";
    ASSERT_EQ(Cabmgr({"d", cab, out}).status, 0);
    WriteFile(out / "top.txt", "changed\n");
    RunResult kept = Cabmgr({"-k", "d", cab, out});
    EXPECT_EQ(kept.status, 1);
    EXPECT_NE(kept.out.find("top.txt exists"), std::string::npos) << kept.out;
    EXPECT_EQ(ReadFile(out / "top.txt"), "changed\n");
    RunResult quiet = Cabmgr({"-q", "-k", "d", cab, out});
    EXPECT_EQ(quiet.status, 1);
    EXPECT_EQ(quiet.out, "");
    EXPECT_TRUE(std::regex_match(quiet.err, std::regex("cabmgr: [^\n]+\n"))) << quiet.err;
    // The cabinet's total is not that of the files a filter selects.
    EXPECT_EQ(Cabmgr({"-q", "-k", "-F", "top.txt", "d", cab, out}).err,
              "cabmgr: 1 file could not be extracted\n");
    EXPECT_EQ(Cabmgr({"d", cab, out}).status, 0);
    EXPECT_EQ(ReadFile(out / "top.txt"), "top level\n");
}

// The options reach the writer: the type and level (any case) and the cabinet size. (Peers read
// every kind of cabinet in the writer's interoperability test; threads never change a byte.)
TEST_F(CabmgrTest, CompressionOptionsReachTheWriter) {
    fs::path tree = work_ / "tree";
    MakeTree(tree, /*big=*/false);
    WriteFile(tree / "words.txt", CompressibleBytes(100000, 3));  // where the LZX levels differ
    // Older than the unpacking, whose time the access time is.
    fs::last_write_time(tree / "words.txt",
                        fs::last_write_time(tree / "words.txt") - std::chrono::hours(1));
    std::map<std::string, std::string> made;
    const std::tuple<std::string, int, int> cases[] = {
        {"-m none --max-size 20k", 15, tcompTYPE_NONE},
        {"-m mszip:1 -j 1", 1, tcompTYPE_MSZIP},
        {"-m MSZIP:9", 1, tcompTYPE_MSZIP},
        {"-s 1354", 160, tcompTYPE_MSZIP},
        {"-m lzx:17", 1, TCOMPfromLZXWindow(17)},
        {"-m LZX:17:thorough", 1, TCOMPfromLZXWindow(17)}};
    for (const auto &[options, cabinets, type] : cases) {
        SCOPED_TRACE(options);
        fs::path folder = work_ / ("set" + std::to_string(made.size())), cab = folder / "x.cab";
        fs::create_directories(folder);
        std::vector<std::string> args = Split(options, ' ');
        args.insert(args.end(), {"c", tree.string(), cab.string()});
        ASSERT_EQ(Cabmgr(args).status, 0);
        int count = static_cast<int>(std::distance(fs::directory_iterator(folder), {}));
        EXPECT_GE(count, cabinets);
        EXPECT_LE(count, cabinets == 1 ? 1 : cabinets * 2);
        made[options] = ReadFile(cab).replace(0x20, 2, 2, '\0');  // each set has an ID of its own
        ParsedCabinet parsed = ParseCabinet(made[options]);
        ASSERT_FALSE(parsed.folders.empty()) << parsed.error;
        EXPECT_EQ(parsed.folders[0].rec.typeCompress, type);
        fs::path out = work_ / ("out" + std::to_string(made.size()));
        ASSERT_EQ(Cabmgr({"d", cab, out}).status, 0);
        ExpectSameTree(tree, out, /*metadata=*/true);
    }
    EXPECT_NE(made["-m mszip:1 -j 1"], made["-m MSZIP:9"]);
    EXPECT_NE(made["-m lzx:17"], made["-m LZX:17:thorough"]);
}

// An installer-like file: other bytes, a header whose sizes run past the end, the cabinet, then
// trailing bytes. Every command finds the cabinet and says where; a file without one fails.
TEST_F(CabmgrTest, CabinetInsideAnotherFileIsFoundByEveryCommand) {
    fs::path tree = work_ / "tree", cab = work_ / "tree.cab", setup = work_ / "setup.exe";
    MakeTree(tree, /*big=*/false);
    ASSERT_EQ(Cabmgr({"c", tree, cab}).status, 0);
    std::string past_end = std::string("MSCF\0\0\0\0\xff\xff\xff\x0f", 12) + std::string(12, '\0') +
                           "\x03\x01" + std::string(10, '\0');
    std::string head = MixedBytes(4000, 5).substr(0, 3000) + past_end + std::string(1000, 'x');
    WriteFile(setup, head + ReadFile(cab) + MixedBytes(777, 6));
    std::string offset = "offset " + std::to_string(head.size());

    RunResult listed = Cabmgr({"-l", setup});
    EXPECT_EQ(listed.status, 0);
    EXPECT_NE(listed.out.find(offset), std::string::npos) << listed.out;
    EXPECT_EQ(ListedRows(listed.out), ListedRows(Cabmgr({"-l", cab}).out));
    EXPECT_EQ(Cabmgr({"-t", setup}).status, 0);
    RunResult piped = Cabmgr({"-p", setup, "binary.bin"});
    EXPECT_TRUE(piped.out == ReadFile(tree / "binary.bin"));
    EXPECT_NE(piped.err.find(offset), std::string::npos) << piped.err;
    RunResult unpacked = Cabmgr({"d", setup, work_ / "out"});
    EXPECT_EQ(unpacked.status, 0) << unpacked.out;
    ExpectSameTree(tree, work_ / "out", /*metadata=*/true);

    WriteFile(setup, head + MixedBytes(5000, 8));
    for (const std::string command : {"-l", "-t", "-p"}) {
        RunResult none = Cabmgr({command, setup});
        EXPECT_EQ(none.status, 1) << command;
        EXPECT_NE((none.out + none.err).find("holds no cabinet"), std::string::npos) << command;
    }
}

// --- The shared corpus ---------------------------------------------------------------------------

// Every damaged or hostile cabinet ends in a clean failure or a clean success (hostile ones
// fail), and nothing is written outside the destination folder.
TEST_F(CabmgrTest, DamagedAndHostileCorpusCabinetsStayInsideTheDestination) {
    SKIP_WITHOUT_CORPUS();
    int failed = 0, tested = 0;
    for (auto &row : ReadTsv(CorpusDir() / "MANIFEST.tsv")) {
        const std::string &path = row["path"];
        bool hostile = row["expectation"].find("hostile") != std::string::npos;
        if (row["corrupt"] != "yes" && !hostile)
            continue;
        SCOPED_TRACE(path);
        fs::path area = work_ / "area";
        fs::remove_all(area);
        fs::path dest = area / "a" / "b" / "c" / "dest";
        RunResult result = Cabmgr({"d", CorpusDir() / path, dest});
        std::error_code ec;
        ASSERT_TRUE(result.status == 0 || result.status == 1) << result.status;
        if (hostile) {
            EXPECT_EQ(result.status, 1) << result.out;
        }
        // A run that wrote nothing leaves none of the folders it made.
        for (const auto &entry : fs::recursive_directory_iterator(area, ec)) {
            std::string text = entry.path().string();
            EXPECT_TRUE(text.rfind(dest.string(), 0) == 0 ||
                        dest.string().rfind(text + "/", 0) == 0)
                << text;
        }
        EXPECT_FALSE(fs::exists("/absolute"));
        failed += result.status == 1;
        ++tested;
    }
    EXPECT_GE(tested, 20);
    EXPECT_GE(failed, tested / 2);
}

// --- Omissions, refused members, damaged cabinets, names ---------------------------------------

// Every "[FAIL]" line of a report that holds `part`, and the tool's last line on standard error.
bool Named(const RunResult &result, const std::string &part) {
    std::istringstream lines(result.out);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("[FAIL]") != std::string::npos && line.find(part) != std::string::npos)
            return true;
    }
    return false;
}

std::string LastErrorLine(const RunResult &result) {
    std::vector<std::string> lines = Split(result.err, '\n');
    return lines.empty() ? "" : lines.back();
}

// Packing leaves out, and names, what it cannot store, and stores the rest; a source that is
// missing, not a folder or empty writes no cabinet (nor replaces one).
TEST_F(CabmgrTest, PackingNamesEveryFileItLeavesOut) {
    fs::path one = work_ / "one", two = work_ / "two", cab = work_ / "out" / "new" / "x.cab";
    WriteFile(one / "a.txt", "a");
    WriteFile(one / "same.txt", "first");
    WriteFile(two / "same.txt", "second");
    WriteFile(one / "x\\y.txt", "backslash in the name");
    WriteFile(one / "x" / "y.txt", "in a folder");
    fs::create_symlink("nowhere", one / "dangling");
    fs::path deep = one / std::string(120, 'd') / std::string(120, 'e');
    WriteFile(deep / "too-long.txt", "path over 259 bytes");
    WriteFile(work_ / "list",
              one.string() + "\n\n" + (work_ / "missing").string() + "\n" + two.string() + "\n");
    RunResult result = Cabmgr({"c", "@" + (work_ / "list").string(), cab});
    EXPECT_EQ(result.status, 1) << result.out;
    for (const std::string &part :
         {(work_ / "missing").string() + " does not exist", (one / "dangling").string(),
          (deep / "too-long.txt").string() + " not stored",
          (two / "same.txt").string() +
              " not stored: its name in the cabinet, same.txt, is "
              "already that of " +
              (one / "same.txt").string(),
          "y.txt, is already that of " + one.string()})
        EXPECT_TRUE(Named(result, part)) << part << "\n" << result.out;
    EXPECT_EQ(LastErrorLine(result), "cabmgr: 5 of 8 files could not be stored");
    ASSERT_EQ(Cabmgr({"d", cab, work_ / "got"}).status, 0);
    EXPECT_EQ(RegularFiles(work_ / "got"), (std::set<std::string>{"a.txt", "same.txt", "x/y.txt"}));
    EXPECT_EQ(ReadFile(work_ / "got" / "same.txt"), "first");

    // A run leaves out the cabinets it writes over, as tar leaves out its archive, so a second run
    // does not pack the first one's set; a cabinet of another name goes in like any file.
    fs::path self = work_ / "self";
    WriteFile(self / "a", std::string(3000, 'a'));
    WriteFile(self / "b", std::string(3000, 'b'));
    WriteFile(self / "other.cab", "any file");
    for (int run = 0; run < 2; ++run) {
        result = Cabmgr({"-m", "none", "-s", "4K", "c", self, self / "set.cab"});
        EXPECT_EQ(result.status, 0) << result.out;
    }
    EXPECT_NE(result.out.find("[WARN] " + (self / "set001.cab").string() +
                              " not stored: it is named as a cabinet of the set being written"),
              std::string::npos)
        << result.out;
    ASSERT_EQ(Cabmgr({"d", self / "set.cab", work_ / "self-got"}).status, 0);
    EXPECT_EQ(RegularFiles(work_ / "self-got"), (std::set<std::string>{"a", "b", "other.cab"}));

    // A file that grows while it is read is named: only the size it had is stored.
    fs::path grows = work_ / "grows" / "log";
    WriteFile(grows, MixedBytes(20u << 20, 4));
    result = Shell("(while sleep 0.005; do echo x >>" + Quote(grows) + "; done) & " + Quote(tool_) +
                   " c " + Quote(grows.parent_path()) + " " + Quote(work_ / "grows.cab") +
                   "; status=$?; kill $!; exit $status");
    EXPECT_EQ(result.status, 1) << result.out;
    EXPECT_TRUE(Named(result, grows.string() + " grew while it was stored")) << result.out;

    // Names and sizes the format cannot hold, from a folder given as "." so the paths fit.
    fs::path src = work_ / "src";
    WriteFile(src / std::string(200, 'n') / std::string(56, 'm'), "name of 256 bytes");
    WriteFile(src / "huge", "");
    fs::resize_file(src / "huge", 0x7FFF8001);
    WriteFile(src / "ok", "ok");
    result = Shell("cd " + Quote(src) + " && " + Quote(tool_) + " c . ../limits.cab");
    EXPECT_EQ(result.status, 1) << result.out;
    EXPECT_TRUE(Named(result, "Name longer than the cabinet format allows")) << result.out;
    EXPECT_TRUE(Named(result, "./huge. Error was (9) - File larger than the cabinet format"))
        << result.out;
    ASSERT_EQ(Cabmgr({"d", work_ / "limits.cab", work_ / "limits"}).status, 0);
    EXPECT_EQ(RegularFiles(work_ / "limits"), std::set<std::string>{"ok"});
    // A run that stores nothing leaves no folder it made for the cabinet.
    fs::create_directories(work_ / "huge-only");
    fs::create_hard_link(src / "huge", work_ / "huge-only" / "huge");
    EXPECT_EQ(Cabmgr({"c", work_ / "huge-only", work_ / "made" / "x.cab"}).status, 1);
    EXPECT_FALSE(fs::exists(work_ / "made"));

    // Nothing written, nothing replaced.
    WriteFile(work_ / "notes.txt", "notes");
    fs::create_directories(work_ / "empty");
    for (const auto &[args, said] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"c", (work_ / "notes.txt").string(), (work_ / "b.cab").string()}, "is not a folder"},
             {{"c", (work_ / "b.cab").string(), (work_ / "notes.txt").string()}, "does not exist"},
             {{"c", (work_ / "empty").string(), (work_ / "b.cab").string()}, "Nothing to pack"},
             {{"c", one.string(), (work_ / "notes.txt" / "c.cab").string()}, "cannot be created"},
             {{"c", one.string(), work_.string() + "/"}, "does not name a folder and a file"},
         }) {
        result = Cabmgr(args);
        EXPECT_EQ(result.status, 1) << result.out;
        EXPECT_NE(LastErrorLine(result).find(said), std::string::npos) << result.err;
        EXPECT_FALSE(fs::exists(work_ / "b.cab"));
        EXPECT_EQ(ReadFile(work_ / "notes.txt"), "notes");
    }
}

// Each cabinet holds first.txt, a member that cannot be written, and members whose names mean on
// this system what they mean in the cabinet (':' is an ordinary character, empty and "." components
// are dropped): the member is named, the others are extracted, nothing lands outside the
// destination.
TEST_F(CabmgrTest, UnpackingNamesEveryMemberItCannotWrite) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"..\\escape.txt", "its name leads out of the destination"},
        {"a\\..\\..\\escape.txt", "its name leads out of the destination"},
        {"\\tmp\\escape.txt", "its name is absolute"},
        {"/tmp/escape.txt", "its name is absolute"},
        {std::string(240, 'p'), "its path below the destination is longer than 259 bytes"},
        {"first.txt\\x", "a folder on its path is a link or not a folder"},
        {"first.txt", "an earlier member of the cabinet has the same name"},
    };
    const std::vector<std::string> good = {"a:b.txt", "C:x", ".\\dot.txt", "a\\\\b", "a..b\\..c"};
    for (const auto &[name, why] : cases) {
        SCOPED_TRACE(name);
        fs::path area = work_ / "area", dest = area / "x" / "dest";
        fs::remove_all(area);
        std::vector<std::pair<std::string, Bytes>> files = {{"first.txt", MakeContent(10)},
                                                            {name, MakeContent(20)}};
        for (const std::string &other : good)
            files.push_back({other, MakeContent(30)});
        SimpleCabinet(files, tcompTYPE_MSZIP).Write(work_ / "c.cab");
        RunResult result = Cabmgr({"d", work_ / "c.cab", dest});
        EXPECT_EQ(result.status, 1);
        EXPECT_TRUE(Named(result, name + " not extracted: " + why)) << result.out;
        EXPECT_EQ(LastErrorLine(result), "cabmgr: 1 of 7 files could not be extracted");
        EXPECT_EQ(RegularFiles(area),
                  (std::set<std::string>{"x/dest/first.txt", "x/dest/a:b.txt", "x/dest/C:x",
                                         "x/dest/dot.txt", "x/dest/a/b", "x/dest/a..b/..c"}));
        EXPECT_FALSE(fs::exists("/tmp/escape.txt"));
    }
}

// The member holding the damage is removed and named, the rest of its folder named as not
// extracted, other folders extracted: two folders damaged in the first, and one folder damaged
// in its middle (files of 20000 bytes; the damage is in bytes 32768 to 65535 of the folder).
// Testing names the same files, and the earlier ones test clean.
TEST_F(CabmgrTest, DamagedCabinetsLoseOnlyWhatFollowsTheDamage) {
    struct Case {
        std::vector<std::vector<size_t>> folders;  // file sizes, f1, f2, ... in order
        std::set<std::string> written;
        std::string damaged;
        std::vector<std::string> after;
        std::string summary;
    };
    const Case cases[] = {
        {{{10000, 60000, 10000}, {5000, 5000}}, {"f1", "f4", "f5"}, "f2", {"f3"}, "2 of 5"},
        {{{20000, 20000, 20000, 20000}}, {"f1"}, "f2", {"f3", "f4"}, "3 of 4"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.summary);
        RawCabinet cab;
        int n = 0;
        for (const std::vector<size_t> &sizes : c.folders) {
            std::vector<std::pair<std::string, Bytes>> files;
            for (size_t size : sizes) {
                ++n;
                files.push_back({"f" + std::to_string(n), MakeContent(size, n)});
            }
            RawCabinet one = SimpleCabinet(files, tcompTYPE_MSZIP);
            for (RawFile file : one.files) {
                file.folder = uint16_t(cab.folders.size());
                cab.files.push_back(file);
            }
            cab.folders.push_back(one.folders[0]);
        }
        cab.folders[0].blocks[1].flip_after_checksum = 10;
        cab.Write(work_ / "damaged.cab");
        fs::path out = work_ / "out";
        fs::remove_all(out);
        RunResult result = Cabmgr({"d", work_ / "damaged.cab", out});
        EXPECT_EQ(result.status, 1);
        EXPECT_TRUE(Named(result, c.damaged + " not extracted: its data is damaged")) << result.out;
        for (const std::string &name : c.after)
            EXPECT_TRUE(Named(result, name + " not extracted: it follows damaged data"));
        EXPECT_EQ(RegularFiles(out), c.written);
        EXPECT_EQ(LastErrorLine(result), "cabmgr: " + c.summary + " files could not be extracted");
        result = Cabmgr({"-t", work_ / "damaged.cab"});
        EXPECT_EQ(result.status, 1);
        for (const std::string &name : c.after)
            EXPECT_TRUE(Named(result, name)) << result.out;
        EXPECT_TRUE(Named(result, c.damaged)) << result.out;
        EXPECT_FALSE(Named(result, "f1")) << result.out;
        EXPECT_EQ(LastErrorLine(result), "cabmgr: " + (work_ / "damaged.cab").string() + ": " +
                                             c.summary + " files damaged");
    }
}

// 0 on success, 1 when the operation failed (a damaged cabinet leaves other files alone, and no
// folder made for it), 2 and the usage line on a usage error.
TEST_F(CabmgrTest, ExitStatuses) {
    // Argument lists split at spaces, '' standing for an empty argument: the bare usage line on
    // standard output; with options, one line naming the problem and a short usage on standard
    // error.
    const std::string
        bare = "|c|c only-one|x a b|'' a b|e a b c",
        usage_errors =
            "-x c a b|--nope|-F|--filter|-l|-p|-v c a|-v d a b extra|-V extra|-q x a b|"
            "-l -t a.cab|--keep=yes d a b|-F '' d a b|-m zip c a b|-m lzx:14 c a b|"
            "-m mszip:0 c a b|-m mszip:10 c a b|-m lzx:22 c a b|-s 0 c a b|-s 1353 c a b|"
            "-s 2G c a b|-s 12Q c a b|-j 0 c a b|-j 65 c a b|-k c a b|-m none d a b|"
            "-s 1M -l a|-F * c a b";
    for (const std::string &line : Split(bare + "|" + usage_errors, '|')) {
        std::vector<std::string> args = Split(line, ' ');
        std::replace(args.begin(), args.end(), std::string("''"), std::string());
        RunResult result = Cabmgr(args);
        EXPECT_EQ(result.status, 2) << line;
        if (args.empty() || args[0][0] != '-') {
            EXPECT_EQ(result.out, "The format is: c|d pathA pathB") << line;
            continue;
        }
        EXPECT_EQ(result.out, "") << line;
        EXPECT_TRUE(std::regex_search(result.err, std::regex("^cabmgr: .+\nusage: cabmgr")))
            << line << result.err;
    }
    RunResult help = Cabmgr({"--help"}), version = Cabmgr({"-V"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--max-size"), std::string::npos);
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(std::regex_match(version.out, std::regex("cabmgr \\d+\\.\\d+\\.\\d+\n")));

    fs::path folder = work_ / "folder", cab = work_ / "no" / "x.cab", dest = work_ / "dest";
    WriteFile(folder / "data.bin", MixedBytes(200000, 3));
    WriteFile(work_ / "plain", "");
    const std::vector<std::pair<std::vector<std::string>, int>> cases = {
        {{"d", (work_ / "missing.cab").string(), dest.string()}, 1},
        {{"c", folder.string(), "bare.cab"}, 1},    // a cabinet path must name its folder
        {{"C", folder.string(), cab.string()}, 0},  // the cabinet's folder is made
        {{"d", cab.string(), (work_ / "plain" / "sub").string()}, 1},  // the destination is a file
    };
    for (const auto &[args, status] : cases)
        EXPECT_EQ(Cabmgr(args).status, status) << ::testing::PrintToString(args);
    EXPECT_FALSE(fs::exists(dest));

    std::string bytes = ReadFile(cab);
    for (const std::string &damaged :
         {bytes.substr(0, bytes.size() / 2), bytes.substr(0, 20), std::string("plain text\n")}) {
        WriteFile(work_ / "damaged.cab", damaged);
        WriteFile(dest / "keep.txt", "already here\n");
        RunResult result = Cabmgr({"d", work_ / "damaged.cab", dest});
        EXPECT_EQ(result.status, 1) << damaged.size() << result.out;
        EXPECT_EQ(ReadFile(dest / "keep.txt"), "already here\n");
        EXPECT_EQ(Cabmgr({"d", work_ / "damaged.cab", work_ / "new" / "d"}).status, 1);
        EXPECT_FALSE(fs::exists(work_ / "new"));
    }
    // What never reached standard output fails the run: a listing, the names of -v, a version.
    for (const std::string &args : {"-l " + Quote(cab), "-v -t " + Quote(cab), std::string("-V")})
        EXPECT_EQ(Shell(Quote(tool_) + " " + args + " >/dev/full").status, 1) << args;
    // Unpacking into a folder whose name a file holds says which folder it used.
    RunResult result = Cabmgr({"d", cab, work_ / "plain"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "cabmgr: unpacked into " + (work_ / "plain0").string() + "\n");
    EXPECT_EQ(ReadFile(work_ / "plain0" / "data.bin"), ReadFile(folder / "data.bin"));
}

// The bar goes to standard error only when that is a terminal; `script` provides one.
TEST_F(CabmgrTest, ProgressBarOnlyOnATerminal) {
    for (int i = 0; i < 5; ++i)
        WriteFile(work_ / "tree" / ("f" + std::to_string(i)), std::string(1000, 'a'));
    std::string pack = kZone + Quote(tool_) + " c " + Quote((work_ / "tree").string()) + " " +
                       Quote((work_ / "x.cab").string());
    fs::path log = work_ / "typescript";
    RunResult on_tty =
        Shell("script -qec " + Quote(pack + " 2>&1 >/dev/null") + " " + Quote(log.string()));
    ASSERT_EQ(on_tty.status, 0) << on_tty.out;
    // Bytes done of the total, percent and the file in hand; the line is ended.
    EXPECT_TRUE(
        std::regex_search(ReadFile(log), std::regex("100%  4\\.9 KiB of 4\\.9 KiB .*f[0-4]")))
        << ReadFile(log);
    // Standard output on the terminal, standard error in a file: no bar anywhere.
    fs::path err = work_ / "err.txt";
    RunResult off_tty = Shell("script -qec " + Quote(pack + " 2>" + Quote(err.string())) + " " +
                              Quote(log.string()));
    ASSERT_EQ(off_tty.status, 0);
    EXPECT_EQ(ReadFile(err), "");
    EXPECT_EQ(ReadFile(log).find("KiB"), std::string::npos) << ReadFile(log);
    // Listed twice, every file is refused the second time: each report line starts a line of its
    // own, after the bar's.
    std::string list = (work_ / "tree").string() + "\n";
    WriteFile(work_ / "list", list + list);
    Shell("script -qec " +
          Quote(Quote(tool_) + " c @" + Quote((work_ / "list").string()) + " " +
                Quote((work_ / "y.cab").string())) +
          " " + Quote(log.string()));
    std::string text = ReadFile(log);
    size_t at = text.find("[cabmanager");
    ASSERT_NE(at, std::string::npos) << text;
    for (; at != std::string::npos; at = text.find("[cabmanager", at + 1))
        EXPECT_EQ(text[at - 1], '\n') << text;
}

// --- Safe writes ---------------------------------------------------------------------------------

// Every case runs with its own temporary folder and a canary outside the destination (links in
// the cases point at it). Afterwards the canary is unchanged, the temporary folder is empty and
// no temporary name is left anywhere.
class SafeWriteTest : public CabmgrTest {
protected:
    void SetUp() override {
        CabmgrTest::SetUp();
        WriteFile(canary_, "canary\n");
        fs::create_directories(tmp_);
    }
    void TearDown() override {
        EXPECT_EQ(ReadFile(canary_), "canary\n");
        for (const auto &entry : fs::directory_iterator(tmp_))
            ADD_FAILURE() << "left in the temporary folder: " << entry.path();
        for (const auto &entry : fs::recursive_directory_iterator(work_))
            EXPECT_EQ(entry.path().filename().string().find(".cabmgr-"), std::string::npos)
                << entry.path();
    }

    // A tree of small files and one of `big` bytes; its cabinet.
    fs::path PackTree(const std::string &name, size_t big) {
        fs::path tree = work_ / name, cab = work_ / (name + ".cab");
        for (int i = 0; i < 40; ++i)
            WriteFile(tree / ("d" + std::to_string(i % 4)) / ("f" + std::to_string(i)), "small\n");
        WriteFile(tree / "big.bin", MixedBytes(big, big));
        EXPECT_EQ(Cabmgr({"c", tree, cab}).status, 0);
        return cab;
    }

    fs::path canary_ = work_ / "outside" / "canary", tmp_ = work_ / "tmp";
    ScopedEnv tmpdir_{"TMPDIR", tmp_.c_str()};
};

// Links found in the destination are replaced or refused, never followed; the destination named
// may be a link itself.
TEST_F(SafeWriteTest, LinksInsideTheDestinationAreNeverFollowed) {
    fs::path tree = work_ / "tree", cab = work_ / "t.cab", dest = work_ / "dest";
    for (const std::string name : {"link.txt", "hard.txt", "sub/a.txt", "file/b.txt", "ok/c.txt"})
        WriteFile(tree / name, "new " + name);
    ASSERT_EQ(Cabmgr({"c", tree, cab}).status, 0);
    fs::create_directories(dest);
    fs::create_symlink(canary_, dest / "link.txt");
    fs::create_hard_link(canary_, dest / "hard.txt");
    fs::create_directory_symlink(canary_.parent_path(), dest / "sub");
    WriteFile(dest / "file", "a file where a folder should be");
    fs::create_directory_symlink(dest, work_ / "dest-link");

    RunResult result = Cabmgr({"d", cab, work_ / "dest-link"});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.out.find("sub\\a.txt not extracted"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("file\\b.txt not extracted"), std::string::npos) << result.out;
    EXPECT_FALSE(fs::is_symlink(dest / "link.txt"));
    EXPECT_EQ(ReadFile(dest / "link.txt"), "new link.txt");
    EXPECT_EQ(ReadFile(dest / "hard.txt"), "new hard.txt");
    EXPECT_EQ(ReadFile(dest / "ok" / "c.txt"), "new ok/c.txt");
    EXPECT_TRUE(fs::is_symlink(dest / "sub"));
    EXPECT_EQ(ReadFile(dest / "file"), "a file where a folder should be");
    EXPECT_EQ(RegularFiles(canary_.parent_path()), std::set<std::string>{"canary"});
}

// A run that fails leaves what was there, one that writes over a cabinet its permissions;
// inputs that are not regular files are refused at once.
TEST_F(SafeWriteTest, AFailedRunKeepsWhatWasThere) {
    fs::path dest = work_ / "dest";
    WriteFile(work_ / "one" / "big.bin", MixedBytes(300000, 5));
    ASSERT_EQ(Cabmgr({"c", work_ / "one", work_ / "one.cab"}).status, 0);
    // A cabinet written over keeps its permissions: a private one stays private.
    const fs::perms kPrivate = fs::perms::owner_read | fs::perms::owner_write;
    fs::permissions(work_ / "one.cab", kPrivate);
    ASSERT_EQ(Cabmgr({"c", work_ / "one", work_ / "one.cab"}).status, 0);
    EXPECT_EQ(fs::status(work_ / "one.cab").permissions(), kPrivate);
    std::string damaged = ReadFile(work_ / "one.cab");
    damaged[damaged.size() / 2] ^= 0x55;
    WriteFile(work_ / "damaged.cab", damaged);
    WriteFile(dest / "big.bin", "old\n");
    EXPECT_EQ(Cabmgr({"d", work_ / "damaged.cab", dest}).status, 1);
    EXPECT_EQ(ReadFile(dest / "big.bin"), "old\n");

    // A member named as the cabinet, unpacked beside it.
    WriteFile(work_ / "self" / "self.cab", "member\n");
    WriteFile(work_ / "self" / "other.txt", "other\n");
    fs::path self = work_ / "unpack-here" / "self.cab";
    fs::create_directories(self.parent_path());
    ASSERT_EQ(Cabmgr({"c", work_ / "self", self}).status, 0);
    std::string self_bytes = ReadFile(self);
    RunResult result = Cabmgr({"d", self, self.parent_path().string()});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.out.find("self.cab not extracted"), std::string::npos) << result.out;
    EXPECT_EQ(ReadFile(self), self_bytes);
    EXPECT_EQ(ReadFile(self.parent_path() / "other.txt"), "other\n");

    // A FIFO or a folder as the cabinet.
    ASSERT_EQ(mkfifo((work_ / "fifo.cab").c_str(), 0600), 0);
    for (const fs::path &odd : {work_ / "fifo.cab", dest}) {
        result = Shell("timeout 60 " + Quote(tool_) + " d " + Quote(odd.string()) + " " +
                       Quote((work_ / "never").string()));
        EXPECT_EQ(result.status, 1);
        EXPECT_NE(result.out.find("is not a regular file"), std::string::npos) << result.out;
    }
    fs::remove(work_ / "fifo.cab");
}

// Packing into one cabinet and unpacking into one folder, twice at once: each run completes,
// and what is left is whole.
TEST_F(SafeWriteTest, TwoRunsAtOnce) {
    fs::path cab = PackTree("a", 2000000), dest = work_ / "dest";
    std::string command;
    for (int i = 0; i < 2; ++i) {
        command += Quote(tool_) + " d " + Quote(cab) + " " + Quote(dest) + " >/dev/null & " +
                   Quote(tool_) + " c " + Quote(work_ / "a") + " " +
                   Quote((work_ / "same.cab").string()) + " >/dev/null & ";
    }
    EXPECT_EQ(Shell(command + "wait").status, 0);
    ExpectSameTree(work_ / "a", dest, /*metadata=*/false);
    ASSERT_EQ(Cabmgr({"d", work_ / "same.cab", work_ / "again"}).status, 0);
    ExpectSameTree(work_ / "a", work_ / "again", /*metadata=*/false);
}

// A stop signal at any point of a pack over an old cabinet, or of an unpack over old files:
// the tool ends by that signal (or had finished), and every file is either the old one or
// the whole new one.
TEST_F(SafeWriteTest, StopSignalsLeaveOldOrWholeFiles) {
    fs::path cab = PackTree("tree", 60u << 20), dest = work_ / "dest",
             target = work_ / "target.cab";
    const size_t packed = fs::file_size(cab);
    std::set<std::string> names = RegularFiles(work_ / "tree");
    const std::tuple<int, std::string, std::string> stops[] = {
        {SIGINT, "INT", "0.01"}, {SIGTERM, "TERM", "0.12"}, {SIGHUP, "HUP", "0.4"}};
    for (bool pack : {true, false}) {
        for (const auto &[signal, name, delay] : stops) {
            SCOPED_TRACE(std::to_string(pack) + " " + name);
            WriteFile(target, "old cabinet\n");
            for (const std::string &file : names)
                WriteFile(dest / file, "old\n");
            std::string run =
                Quote(tool_) + (pack ? " c " + Quote(work_ / "tree") + " " + Quote(target)
                                     : " d " + Quote(cab) + " " + Quote(dest));
            // With job control the tool does not start with SIGINT ignored; the shell reports an
            // end by a signal as 128 and its number.
            int status = Shell("bash -c " + Quote("set -m; " + run + " >/dev/null & sleep " +
                                                  delay + "; kill -" + name + " $!; wait $!"))
                             .status;
            bool stopped = status == 128 + signal;
            EXPECT_TRUE(stopped || status == 0) << status;
            if (pack) {
                std::string now = ReadFile(target);
                // A stop that comes after the new cabinet took its name leaves it there.
                EXPECT_TRUE((stopped && now == "old cabinet\n") || now.size() == packed)
                    << now.size() << " of " << packed;
                continue;
            }
            EXPECT_EQ(RegularFiles(dest), names);
            for (const std::string &file : names) {
                std::string now = ReadFile(dest / file);
                EXPECT_TRUE(now == "old\n" || now == ReadFile(work_ / "tree" / file)) << file;
            }
        }
    }
    // A second stop ends a run the first cannot reach: one waiting for a list pipe's writer.
    ASSERT_EQ(Shell("mkfifo " + Quote(work_ / "list")).status, 0);
    std::string run = Quote(tool_) + " c @" + Quote(work_ / "list") + " " + Quote(target);
    EXPECT_EQ(Shell("bash -c " +
                    Quote("set -m; " + run + " & p=$!; sleep 0.2; kill -INT $p; " +
                          "sleep 0.2; kill -INT $p; (sleep 3; kill -KILL $p) & " + "wait $p"))
                  .status,
              128 + SIGINT);
}

// Further cabinets are named from the name without its last extension, each set has its own ID,
// a part of another set is refused, and an unpack may start at any part.
TEST_F(SafeWriteTest, SetsCannotBeMixedUpAndStartAnywhere) {
    fs::path source = work_ / "source", sets = work_ / "sets";
    std::set<uint16_t> ids;
    for (const std::string day : {"mon", "tue", "wed"}) {
        for (unsigned i = 0; i < 6; ++i) {
            WriteFile(source / day / ("f" + std::to_string(i)),
                      RandomBytes(20000, i + 10 * day[0]));
        }
        SmallCabinetManager manager(30000);
        fs::path first = sets / ("backup." + day + ".cab");
        fs::create_directories(sets);
        int added = 0;
        manager.AddFilesInFolderToList(W(source / day).c_str(), W(source / day).c_str(), 1);
        ASSERT_EQ(manager.CompressFiles(W(first).c_str(), 0, &added), S_OK);
        ASSERT_TRUE(fs::exists(sets / ("backup." + day + "003.cab")));
        std::string header = ReadFile(first);
        ids.insert(static_cast<uint16_t>(uint8_t(header[0x20]) | uint8_t(header[0x21]) << 8));
    }
    EXPECT_GE(ids.size(), 2u);

    RunResult result = Cabmgr({"d", sets / "backup.mon002.cab", work_ / "1"});
    EXPECT_EQ(result.status, 0) << result.out;
    ExpectSameTree(source / "mon", work_ / "1", /*metadata=*/false);

    fs::rename(sets / "backup.mon.cab", work_ / "away.cab");
    result = Cabmgr({"d", sets / "backup.mon001.cab", work_ / "2"});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.out.find("not extracted: it begins in the missing cabinet backup.mon.cab"),
              std::string::npos)
        << result.out;
    EXPECT_FALSE(RegularFiles(work_ / "2").empty());
    for (const char *command : {"-l", "-t", "-p"}) {
        result = Cabmgr({command, sets / "backup.mon002.cab"});
        EXPECT_EQ(result.status, 1) << command;
        EXPECT_NE((result.out + result.err).find("begins in the missing cabinet backup.mon.cab"),
                  std::string::npos)
            << command << result.out << result.err;
    }
    fs::rename(work_ / "away.cab", sets / "backup.mon.cab");
    // A missing later part: what comes before it is extracted whole.
    fs::rename(sets / "backup.mon003.cab", work_ / "away.cab");
    result = Cabmgr({"d", sets / "backup.mon001.cab", work_ / "4"});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("backup.mon003.cab: Cabinet not found"), std::string::npos)
        << result.err;
    EXPECT_FALSE(RegularFiles(work_ / "4").empty());
    for (const std::string &name : RegularFiles(work_ / "4"))
        EXPECT_EQ(ReadFile(work_ / "4" / name), ReadFile(source / "mon" / name)) << name;
    result = Cabmgr({"-q", "-t", sets / "backup.mon001.cab"});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("backup.mon003.cab: Cabinet not found"), std::string::npos)
        << result.err;
    // One that cannot be opened for another reason (a link to itself) is named with the reason.
    fs::create_symlink("backup.mon003.cab", sets / "backup.mon003.cab");
    result = Cabmgr({"-q", "-t", sets / "backup.mon001.cab"});
    EXPECT_NE(result.err.find("backup.mon003.cab cannot be read"), std::string::npos) << result.err;
    fs::remove(sets / "backup.mon003.cab");
    fs::rename(work_ / "away.cab", sets / "backup.mon003.cab");

    fs::copy_file(sets / "backup.tue001.cab", sets / "backup.mon001.cab",
                  fs::copy_options::overwrite_existing);
    result = Cabmgr({"d", sets / "backup.mon.cab", work_ / "3"});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.out.find("backup.mon001.cab is not the next part of the set"),
              std::string::npos)
        << result.out;
}

// On a full file system (a small tmpfs, as root only): the destination, the cabinet's folder and
// the temporary folder each fill up, of space and then of files; every run fails and leaves the
// old files.
TEST_F(SafeWriteTest, FullFileSystem) {
    fs::path small = work_ / "small";
    fs::create_directories(small);
    if (geteuid() != 0 ||
        Shell("mount -t tmpfs -o size=1m,nr_inodes=24 tmpfs " + Quote(small.string())).status != 0)
        GTEST_SKIP() << "a full file system needs root to mount a small tmpfs";
    fs::path cab = PackTree("tree", 3u << 20);
    WriteFile(small / "dest" / "big.bin", "old\n");
    WriteFile(small / "x.cab", "old cabinet\n");
    fs::create_directories(small / "tmp");
    const std::vector<std::string> runs = {
        Quote(tool_) + " d " + Quote(cab) + " " + Quote(small / "dest"),
        Quote(tool_) + " c " + Quote(work_ / "tree") + " " + Quote(small / "x.cab"),
        "TMPDIR=" + Quote(small / "tmp") + " " + Quote(tool_) + " c " + Quote(work_ / "tree") +
            " " + Quote((work_ / "y.cab").string())};
    RunResult unpacking;
    for (const std::string &run : runs) {
        RunResult result = Shell(run);
        EXPECT_EQ(result.status, 1) << run << result.out;
        if (run == runs.front())
            unpacking = result;
        EXPECT_EQ(ReadFile(small / "dest" / "big.bin"), "old\n");
        EXPECT_EQ(ReadFile(small / "x.cab"), "old cabinet\n");
        EXPECT_TRUE(fs::is_empty(small / "tmp"));
    }
    // Each small member is there whole, or named as not extracted.
    for (int i = 0; i < 40; ++i) {
        std::string folder = "d" + std::to_string(i % 4), leaf = "f" + std::to_string(i);
        fs::path file = small / "dest" / folder / leaf;
        EXPECT_TRUE(fs::exists(file) ? ReadFile(file) == "small\n"
                                     : Named(unpacking, folder + "\\" + leaf + " not extracted"))
            << leaf << unpacking.out;
    }
    Shell("umount " + Quote(small.string()));
}

}  // namespace

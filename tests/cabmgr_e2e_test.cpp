// End to end through the cabmgr binary: trees packed and checked by the other cabinet tools,
// cabinets of other tools and of the shared corpus unpacked, exit statuses, unsafe names,
// damaged cabinets and the progress bar.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cabmanager/CabManager.h"

namespace {

namespace fs = std::filesystem;

// A zone with daylight saving, so that a UTC/local mix-up shows in summer and in winter.
const char kZone[] = "TZ='CET-1CEST,M3.5.0,M10.5.0/3' ";

std::string Quote(const std::string &text) {
    std::string quoted = "'";
    for (char ch : text)
        quoted += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
    return quoted + "'";
}

std::string ReadFile(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const fs::path &path, const std::string &data) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << data;
}

std::vector<std::string> Split(const std::string &line, char separator) {
    std::vector<std::string> fields;
    std::stringstream stream(line);
    std::string field;
    while (std::getline(stream, field, separator))
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
    void SetUp() override {
        work_ =
            fs::temp_directory_path() / ("cabmgr_e2e_" + std::to_string(std::random_device{}()));
        fs::create_directories(work_);
        tool_ = fs::path(CABMGR_BINARY_DIR) / "driver" / "cabmgr";
        ASSERT_TRUE(fs::exists(tool_)) << tool_;
    }

    void TearDown() override {
        // Unpacked read-only files and folders must not stop the clean-up.
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(work_, ec);
             it != fs::recursive_directory_iterator(); it.increment(ec)) {
            if (!it->is_symlink())
                fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
        }
        fs::remove_all(work_, ec);
    }

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
        fs::remove(out);
        fs::remove(err);
        return result;
    }

    RunResult Cabmgr(const std::vector<std::string> &args) {
        std::string command = kZone + Quote(tool_.string());
        for (const std::string &arg : args)
            command += " " + Quote(arg);
        return Shell(command);
    }

    fs::path work_;
    fs::path tool_;
};

// --- Trees ---------------------------------------------------------------------------------------

fs::file_time_type FileTime(int year, int month, int day, int hour, int minute, int second) {
    using namespace std::chrono;
    sys_seconds when = sys_days{std::chrono::year{year} / month / day} + hours{hour} +
                       minutes{minute} + seconds{second};
    return file_clock::from_sys(when);
}

int64_t Seconds(fs::file_time_type time) {
    using namespace std::chrono;
    return duration_cast<seconds>(file_clock::to_sys(time).time_since_epoch()).count();
}

// Deterministic bytes: random stretches, text and zeros, so that both stored and compressed
// blocks of every size occur.
std::string MixedBytes(size_t size, uint64_t start) {
    std::string data;
    data.reserve(size);
    uint64_t state = start;
    const std::string text = "The quick brown fox jumps over the lazy dog. 0123456789\n";
    while (data.size() < size) {
        size_t block = std::min<size_t>(size - data.size(), 40000 + state % 50000);
        switch (state % 3) {
            case 0:
                for (size_t i = 0; i < block; ++i) {
                    state ^= state << 13;
                    state ^= state >> 7;
                    state ^= state << 17;
                    data += static_cast<char>(state >> 56);
                }
                break;
            case 1:
                for (size_t i = 0; i < block; ++i)
                    data += text[i % text.size()];
                break;
            default:
                data.append(block, '\0');
                break;
        }
        state = state * 6364136223846793005ull + 1442695040888963407ull;
    }
    return data;
}

struct TreeFile {
    std::string name;
    std::string data;
};

// Files of the test tree: nested folders, hidden, empty and non-ASCII names.
std::vector<TreeFile> TreeFiles() {
    return {
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
}

// Builds the tree with distinct times (one odd second, which the cabinet rounds down) and a
// read-only file; with `big`, adds a 50 MB file.
void MakeTree(const fs::path &root, bool big) {
    int i = 0;
    for (const TreeFile &file : TreeFiles()) {
        WriteFile(root / file.name, file.data);
        fs::last_write_time(root / file.name,
                            FileTime(2019, 1 + (i * 5) % 12, 3 + i, 10 + i, 20, 30 + i));
        ++i;
    }
    if (big) {
        WriteFile(root / "big" / "fifty.bin", MixedBytes(50u << 20, 99));
        fs::last_write_time(root / "big" / "fifty.bin", FileTime(2024, 2, 29, 23, 59, 58));
    }
    fs::permissions(root / "readonly.txt",
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
}

bool SameContent(const fs::path &a, const fs::path &b) {
    std::ifstream in_a(a, std::ios::binary), in_b(b, std::ios::binary);
    std::vector<char> buf_a(1 << 16), buf_b(1 << 16);
    while (in_a && in_b) {
        in_a.read(buf_a.data(), static_cast<std::streamsize>(buf_a.size()));
        in_b.read(buf_b.data(), static_cast<std::streamsize>(buf_b.size()));
        if (in_a.gcount() != in_b.gcount() ||
            !std::equal(buf_a.begin(), buf_a.begin() + in_a.gcount(), buf_b.begin()))
            return false;
    }
    return !in_a && !in_b;
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
    std::set<std::string> names = RegularFiles(expected);
    ASSERT_EQ(RegularFiles(actual), names) << actual;
    for (const std::string &name : names) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(SameContent(expected / name, actual / name));
        if (!metadata)
            continue;
        int64_t want = Seconds(fs::last_write_time(expected / name));
        EXPECT_EQ(Seconds(fs::last_write_time(actual / name)), want - (want & 1));
        EXPECT_EQ(OwnerCanWrite(actual / name), OwnerCanWrite(expected / name));
    }
}

// --- Packing and unpacking our own trees ---------------------------------------------------------

TEST_F(CabmgrTest, PackedTreeIsReadByPeersAndUnpacksWithTimesAndAttributes) {
    fs::path tree = work_ / "tree";
    MakeTree(tree, /*big=*/true);
    fs::path cab = work_ / "out" / "tree.cab";
    fs::create_directories(cab.parent_path());

    RunResult packed = Cabmgr({"c", tree.string(), cab.string()});
    ASSERT_EQ(packed.status, 0) << packed.out;
    EXPECT_EQ(packed.err, "");  // standard error is not a terminal: no progress bar

    RunResult tested = Shell("cabextract -t " + Quote(cab.string()));
    EXPECT_EQ(tested.status, 0) << tested.out << tested.err;
    EXPECT_NE(tested.out.find("All done, no errors."), std::string::npos) << tested.out;

    // Times are stored in local time: 2019-01-03 10:20:30 UTC is 11:20:30 in CET.
    RunResult listed = Shell(kZone + std::string("cabextract -l ") + Quote(cab.string()));
    EXPECT_NE(listed.out.find("03.01.2019 11:20:30 | top.txt"), std::string::npos) << listed.out;

    // The stored attributes, as 7-Zip reads them: read-only and hidden where the tree has them.
    RunResult attributes = Shell("7zz l -slt " + Quote(cab.string()));
    auto attributes_of = [&](const std::string &path) {
        size_t at = attributes.out.find("Path = " + path + "\n");
        size_t line = attributes.out.find("Attributes = ", at);
        return at == std::string::npos || line == std::string::npos
                   ? std::string()
                   : attributes.out.substr(line + 13, attributes.out.find('\n', line) - line - 13);
    };
    EXPECT_EQ(attributes_of("readonly.txt"), "RA");
    EXPECT_EQ(attributes_of(".hidden"), "HA");
    EXPECT_EQ(attributes_of("nested/.config/settings.ini"), "A");  // hidden goes by its own name
    EXPECT_EQ(attributes_of("top.txt"), "A");

    fs::path by_7z = work_ / "by-7z";
    RunResult seven = Shell("7zz x -y -o" + Quote(by_7z.string()) + " " + Quote(cab.string()));
    ASSERT_EQ(seven.status, 0) << seven.out << seven.err;
    ExpectSameTree(tree, by_7z, /*metadata=*/false);
    fs::remove_all(by_7z);

    fs::path by_bsdtar = work_ / "by-bsdtar";
    fs::create_directories(by_bsdtar);
    RunResult tar = Shell("bsdtar -xf " + Quote(cab.string()) + " -C " + Quote(by_bsdtar.string()));
    ASSERT_EQ(tar.status, 0) << tar.err;
    ExpectSameTree(tree, by_bsdtar, /*metadata=*/false);
    fs::remove_all(by_bsdtar);

    fs::path unpacked = work_ / "unpacked" / "new";  // created with its parent
    RunResult result = Cabmgr({"d", cab.string(), unpacked.string()});
    ASSERT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(result.err, "");
    ExpectSameTree(tree, unpacked, /*metadata=*/true);
}

TEST_F(CabmgrTest, CommandWordsAndListFilesPackEveryFolder) {
    fs::path one = work_ / "one", two = work_ / "tw\xc3\xb6";
    WriteFile(one / "a.txt", "a\n");
    WriteFile(one / "sub" / "b.txt", "b\n");
    WriteFile(two / "c.txt", "c\n");
    // Windows line ends and a missing final line end.
    WriteFile(work_ / "list.txt", one.string() + "\r\n" + two.string());
    fs::path cab = work_ / "list.cab";
    RunResult packed = Cabmgr({"Compress", "@" + (work_ / "list.txt").string(), cab.string(), "x"});
    ASSERT_EQ(packed.status, 0) << packed.out;

    fs::path out = work_ / "out";
    RunResult result = Cabmgr({"D", cab.string(), out.string()});
    ASSERT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(RegularFiles(out), (std::set<std::string>{"a.txt", "sub/b.txt", "c.txt"}));

    // A list that is not UTF-8 fails whole: no cabinet that silently lacks a folder.
    WriteFile(work_ / "bad-list.txt", one.string() + "\n" + two.string() + "\xff\n");
    fs::path bad_cab = work_ / "bad.cab";
    EXPECT_EQ(Cabmgr({"c", "@" + (work_ / "bad-list.txt").string(), bad_cab.string()}).status, 1);
    EXPECT_FALSE(fs::exists(bad_cab));
}

// Names are bytes on Linux; one that is not UTF-8 must come back unchanged, not be dropped.
TEST_F(CabmgrTest, NameThatIsNotUtf8RoundTrips) {
    fs::path tree = work_ / "tree\xfe";  // the arguments themselves are not UTF-8 either
    WriteFile(tree / "caf\xe9.txt", "latin-1 name\n");
    WriteFile(tree / "plain.txt", "plain\n");
    fs::path cab = work_ / "names\xfd.cab";
    RunResult packed = Cabmgr({"c", tree.string(), cab.string()});
    ASSERT_EQ(packed.status, 0) << packed.out;
    fs::path out = work_ / "out\xfc";
    RunResult result = Cabmgr({"d", cab.string(), out.string()});
    ASSERT_EQ(result.status, 0) << result.out;
    ExpectSameTree(tree, out, /*metadata=*/false);
}

TEST_F(CabmgrTest, LinkBackToAWalkedFolderIsNotFollowedAgain) {
    fs::path tree = work_ / "tree";
    WriteFile(tree / "sub" / "f.txt", "once\n");
    fs::create_directory_symlink(tree, tree / "sub" / "loop");
    fs::path cab = work_ / "loop.cab";
    RunResult packed = Cabmgr({"c", tree.string(), cab.string()});
    ASSERT_EQ(packed.status, 0) << packed.out;
    fs::path out = work_ / "out";
    ASSERT_EQ(Cabmgr({"d", cab.string(), out.string()}).status, 0);
    EXPECT_EQ(RegularFiles(out), (std::set<std::string>{"sub/f.txt"}));
}

// --- Cabinets of other tools ---------------------------------------------------------------------

TEST_F(CabmgrTest, UnpacksCabinetsMadeByGcab) {
    fs::path tree = work_ / "tree";
    MakeTree(tree, /*big=*/false);
    std::string names;
    for (const TreeFile &file : TreeFiles())
        names += " " + Quote(file.name);
    for (const std::string &flags : {std::string("-c"), std::string("-cz")}) {
        SCOPED_TRACE(flags);
        fs::path cab = work_ / ("gcab" + flags + ".cab");
        RunResult made = Shell("cd " + Quote(tree.string()) + " && gcab " + flags + " " +
                               Quote(cab.string()) + names);
        ASSERT_EQ(made.status, 0) << made.err;
        fs::path out = work_ / ("out" + flags);
        RunResult result = Cabmgr({"d", cab.string(), out.string()});
        ASSERT_EQ(result.status, 0) << result.out;
        ExpectSameTree(tree, out, /*metadata=*/false);
    }
}

std::vector<std::map<std::string, std::string>> ReadTsv(const fs::path &path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    std::vector<std::string> header = Split(line, '\t');
    std::vector<std::map<std::string, std::string>> rows;
    while (std::getline(in, line)) {
        std::vector<std::string> fields = Split(line, '\t');
        std::map<std::string, std::string> row;
        for (size_t i = 0; i < header.size() && i < fields.size(); ++i)
            row[header[i]] = fields[i];
        rows.push_back(row);
    }
    return rows;
}

class CorpusTest : public CabmgrTest {
protected:
    void SetUp() override {
        CabmgrTest::SetUp();
        corpus_ = CABMGR_CORPUS_DIR;
        if (!fs::exists(corpus_ / "EXPECTED.tsv"))
            GTEST_SKIP() << "no corpus at " << corpus_;
        for (auto &row : ReadTsv(corpus_ / "MANIFEST.tsv"))
            manifest_[row["path"]] = row;
        for (auto &row : ReadTsv(corpus_ / "EXPECTED.tsv"))
            expected_[row["cab"] + "\t" + row["mode"]].push_back(row);
    }

    // sha256 of every file below `root`, by "./relative/name".
    std::map<std::string, std::string> Hashes(const fs::path &root) {
        RunResult result = Shell("cd " + Quote(root.string()) +
                                 " && find . -type f -print0 | xargs -0 -r sha256sum --zero");
        std::map<std::string, std::string> hashes;
        for (const std::string &record : Split(result.out, '\0')) {
            if (record.size() > 66)
                hashes[record.substr(66)] = record.substr(0, 64);
        }
        return hashes;
    }

    // Unpacks `cab` and compares with the rows cabextract gave for it. A name that makes the
    // output path longer than 259 bytes must fail the extraction instead.
    void ExpectUnpacksAsListed(const fs::path &cab,
                               const std::vector<std::map<std::string, std::string>> &rows) {
        fs::path out = work_ / "out";
        fs::remove_all(out);
        bool too_long = false;
        for (const auto &row : rows)
            too_long = too_long || out.string().size() + 1 + row.at("name").size() > 259;
        RunResult result = Cabmgr({"d", cab.string(), out.string()});
        if (too_long) {
            EXPECT_EQ(result.status, 1) << result.out;
            return;
        }
        ASSERT_EQ(result.status, 0) << result.out;
        std::map<std::string, std::string> hashes = Hashes(out);
        EXPECT_EQ(hashes.size(), rows.size());
        for (const auto &row : rows)
            EXPECT_EQ(hashes["./" + row.at("name")], row.at("sha256")) << row.at("name");
    }

    // Gigabyte cabinets take minutes under the sanitizers; the plain build covers them.
    static bool TooLargeForThisBuild(const std::vector<std::map<std::string, std::string>> &rows) {
#if defined(__SANITIZE_ADDRESS__)
        uint64_t total = 0;
        for (const auto &row : rows)
            total += std::stoull(row.at("size"));
        return total > (64u << 20);
#else
        (void)rows;
        return false;
#endif
    }

    // True when every row of the cabinet unpacked cleanly under a plain, distinct name.
    static bool PlainRows(const std::vector<std::map<std::string, std::string>> &rows) {
        std::set<std::string> names;
        for (const auto &row : rows) {
            const std::string &name = row.at("name");
            if (row.at("cabextract_status") != "OK" || row.at("raw_name_hex") != "-" ||
                name.empty() || name[0] == '/' || name.find("..") != std::string::npos ||
                name.find('\\') != std::string::npos || !names.insert(name).second)
                return false;
        }
        return !rows.empty();
    }

    fs::path corpus_;
    std::map<std::string, std::map<std::string, std::string>> manifest_;
    std::map<std::string, std::vector<std::map<std::string, std::string>>> expected_;
};

TEST_F(CorpusTest, SingleCabinetsUnpackToTheListedContent) {
    int tested = 0;
    for (const auto &[path, row] : manifest_) {
        auto rows = expected_.find(path + "\tsingle");
        if (row.at("corrupt") != "no" || row.at("span_set") != "-" || row.at("prev_cab") != "-" ||
            row.at("next_cab") != "-" || rows == expected_.end() || !PlainRows(rows->second) ||
            TooLargeForThisBuild(rows->second))
            continue;
        SCOPED_TRACE(path + " (" + row.at("compression") + ")");
        ExpectUnpacksAsListed(corpus_ / path, rows->second);
        ++tested;
    }
    EXPECT_GE(tested, 40);
}

// Each set is copied under the names its headers give, then unpacked from its first cabinet.
TEST_F(CorpusTest, SpanningSetsUnpackWhole) {
    std::map<std::string, std::vector<std::pair<int, std::string>>> sets;
    for (const auto &[path, row] : manifest_) {
        const std::string &span = row.at("span_set");
        size_t part = span.find(" part ");
        if (span == "-" || part == std::string::npos)
            continue;
        sets[span.substr(0, part)].push_back({std::stoi(span.substr(part + 6)), path});
    }
    int tested = 0;
    for (auto &[head, parts] : sets) {
        std::sort(parts.begin(), parts.end());
        std::string mode = "set:" + std::to_string(parts.size());
        auto rows = expected_.find(head + "\t" + mode);
        // A set with a part that breaks the format is the damaged-cabinet test's business.
        bool damaged = std::any_of(parts.begin(), parts.end(), [&](const auto &part) {
            return manifest_[part.second].at("corrupt") == "yes";
        });
        if (rows == expected_.end() || !PlainRows(rows->second) || damaged)
            continue;
        SCOPED_TRACE(head);
        fs::path set_dir = work_ / "set";
        fs::remove_all(set_dir);
        fs::create_directories(set_dir);
        std::string name = fs::path(head).filename().string();
        for (const auto &[number, path] : parts) {
            fs::copy_file(corpus_ / path, set_dir / name);
            name = manifest_[path].at("next_cab");
        }
        ExpectUnpacksAsListed(set_dir / fs::path(head).filename(), rows->second);
        ++tested;
    }
    EXPECT_GE(tested, 10);
}

// Every damaged cabinet ends in a clean failure or a clean success, and nothing is written
// outside the destination folder.
TEST_F(CorpusTest, DamagedAndHostileCabinetsStayInsideTheDestination) {
    int failed = 0, tested = 0;
    for (const auto &[path, row] : manifest_) {
        bool hostile = row.at("expectation").find("hostile") != std::string::npos;
        if (row.at("corrupt") != "yes" && !hostile)
            continue;
        SCOPED_TRACE(path);
        fs::path area = work_ / "area";
        fs::remove_all(area);
        fs::path dest = area / "a" / "b" / "c" / "dest";
        RunResult result = Cabmgr({"d", (corpus_ / path).string(), dest.string()});
        ASSERT_TRUE(result.status == 0 || result.status == 1) << result.status;
        std::string dest_text = dest.string();
        for (const auto &entry : fs::recursive_directory_iterator(area)) {
            std::string text = entry.path().string();
            bool inside = text == dest_text || text.rfind(dest_text + "/", 0) == 0 ||
                          dest_text.rfind(text + "/", 0) == 0;
            EXPECT_TRUE(inside) << text;
        }
        EXPECT_FALSE(fs::exists("/absolute"));
        if (hostile) {
            EXPECT_EQ(result.status, 1) << result.out;
        }
        failed += result.status == 1;
        ++tested;
    }
    EXPECT_GE(tested, 20);
    EXPECT_GE(failed, tested / 2);
}

// --- Unsafe names, damaged cabinets, exit statuses -----------------------------------------------

// Builds a cabinet holding ok.txt and a file whose stored name is then patched to `name`
// (names are not covered by a checksum).
fs::path CraftCabinet(const fs::path &work, const std::string &name) {
    static int count = 0;
    fs::path src = work / ("craft" + std::to_string(++count));
    WriteFile(src / "ok.txt", "fine\n");
    WriteFile(src / "bad.txt", "payload\n");
    std::string placeholder(name.size(), 'Q');
    CCabManager manager;
    fs::path cab = work / ("crafted" + std::to_string(count) + ".cab");
    std::wstring wide_placeholder(placeholder.begin(), placeholder.end());
    int added = 0;
    if (FAILED(manager.AddFileToCompress((src / "ok.txt").wstring().c_str(), L"ok.txt")) ||
        FAILED(manager.AddFileToCompress((src / "bad.txt").wstring().c_str(),
                                         wide_placeholder.c_str())) ||
        FAILED(manager.CompressFiles(cab.wstring().c_str(), 0, &added)) || added != 2)
        return {};
    std::string bytes = ReadFile(cab);
    size_t at = bytes.find(placeholder + '\0');
    if (at == std::string::npos)
        return {};
    bytes.replace(at, name.size(), name);
    WriteFile(cab, bytes);
    return cab;
}

TEST_F(CabmgrTest, UnsafeNamesAreRefusedAndNothingLandsOutside) {
    for (const std::string &name :
         {std::string("..\\escape.txt"), std::string("a\\..\\..\\escape.txt"),
          std::string("\\tmp\\escape.txt"), std::string("/tmp/escape.txt"),
          std::string("C:escape.txt"), std::string("a\\\\escape.txt"), std::string(".\\x.txt")}) {
        SCOPED_TRACE(name);
        fs::path cab = CraftCabinet(work_, name);
        ASSERT_FALSE(cab.empty());
        fs::path area = work_ / "area";
        fs::remove_all(area);
        fs::path dest = area / "x" / "dest";
        RunResult result = Cabmgr({"d", cab.string(), dest.string()});
        EXPECT_EQ(result.status, 1) << result.out;
        EXPECT_NE(result.out.find("[FAIL]"), std::string::npos) << result.out;
        std::set<std::string> written;
        for (const auto &entry : fs::recursive_directory_iterator(area))
            written.insert(fs::relative(entry.path(), area).string());
        EXPECT_TRUE(written.empty() || written == std::set<std::string>({"x", "x/dest"}) ||
                    written == std::set<std::string>({"x", "x/dest", "x/dest/ok.txt"}))
            << ::testing::PrintToString(written);
        EXPECT_FALSE(fs::exists("/tmp/escape.txt"));
    }
}

TEST_F(CabmgrTest, DamagedCabinetFailsAndLeavesOtherFilesAlone) {
    fs::path tree = work_ / "tree";
    WriteFile(tree / "data.bin", MixedBytes(200000, 3));
    fs::path cab = work_ / "good.cab";
    ASSERT_EQ(Cabmgr({"c", tree.string(), cab.string()}).status, 0);
    std::string bytes = ReadFile(cab);

    std::string flipped = bytes;
    flipped[flipped.size() / 2] ^= 0x55;
    WriteFile(work_ / "flipped.cab", flipped);
    WriteFile(work_ / "truncated.cab", bytes.substr(0, bytes.size() / 2));
    WriteFile(work_ / "header-only.cab", bytes.substr(0, 20));
    WriteFile(work_ / "not-a-cab.cab", "plain text, not a cabinet\n");
    for (const char *name : {"flipped.cab", "truncated.cab", "header-only.cab", "not-a-cab.cab"}) {
        SCOPED_TRACE(name);
        fs::path dest = work_ / "dest";
        WriteFile(dest / "keep.txt", "already here\n");
        RunResult result = Cabmgr({"d", (work_ / name).string(), dest.string()});
        EXPECT_EQ(result.status, 1) << result.out;
        EXPECT_EQ(ReadFile(dest / "keep.txt"), "already here\n");
    }
}

TEST_F(CabmgrTest, ExitStatusesAndUsageLine) {
    const std::string usage = "The format is: c|d pathA pathB";
    for (const std::vector<std::string> &args : {std::vector<std::string>{},
                                                 {"c"},
                                                 {"c", "only-one"},
                                                 {"x", "a", "b"},
                                                 {"", "a", "b"},
                                                 {"e", "a", "b", "c"}}) {
        RunResult result = Cabmgr(args);
        EXPECT_EQ(result.status, 2) << ::testing::PrintToString(args);
        EXPECT_EQ(result.out, usage) << ::testing::PrintToString(args);
    }

    WriteFile(work_ / "folder" / "f.txt", "x\n");
    EXPECT_EQ(Cabmgr({"d", (work_ / "missing.cab").string(), (work_ / "o").string()}).status, 1);
    EXPECT_FALSE(fs::exists(work_ / "o"));
    // A cabinet path must name its folder; one in a folder that does not exist cannot be made.
    EXPECT_EQ(Cabmgr({"c", (work_ / "folder").string(), "bare.cab"}).status, 1);
    EXPECT_EQ(Cabmgr({"c", (work_ / "folder").string(), (work_ / "no" / "x.cab").string()}).status,
              1);
    EXPECT_EQ(Cabmgr({"C", (work_ / "folder").string(), (work_ / "x.cab").string()}).status, 0);
    // The destination is a file.
    WriteFile(work_ / "plain", "");
    EXPECT_EQ(Cabmgr({"d", (work_ / "x.cab").string(), (work_ / "plain" / "sub").string()}).status,
              1);
    EXPECT_EQ(Cabmgr({"d", (work_ / "x.cab").string(), (work_ / "o").string()}).status, 0);
    EXPECT_EQ(ReadFile(work_ / "o" / "f.txt"), "x\n");
}

// The bar goes to standard error only when that is a terminal; `script` provides one.
TEST_F(CabmgrTest, ProgressBarOnlyOnATerminal) {
    for (int i = 0; i < 5; ++i)
        WriteFile(work_ / "tree" / ("f" + std::to_string(i)), std::string(1000, 'a'));
    std::string pack = kZone + Quote(tool_.string()) + " c " + Quote((work_ / "tree").string()) +
                       " " + Quote((work_ / "x.cab").string());

    fs::path log = work_ / "typescript";
    RunResult on_tty =
        Shell("script -qec " + Quote(pack + " 2>&1 >/dev/null") + " " + Quote(log.string()));
    ASSERT_EQ(on_tty.status, 0) << on_tty.out;
    EXPECT_NE(ReadFile(log).find("5/5 files 100%"), std::string::npos) << ReadFile(log);

    // Standard output on the terminal, standard error in a file: no bar anywhere.
    fs::path err = work_ / "err.txt";
    RunResult off_tty = Shell("script -qec " + Quote(pack + " 2>" + Quote(err.string())) + " " +
                              Quote(log.string()));
    ASSERT_EQ(off_tty.status, 0);
    EXPECT_EQ(ReadFile(err), "");
    EXPECT_EQ(ReadFile(log).find("files"), std::string::npos) << ReadFile(log);
}

}  // namespace

#include "tests/support/support.h"

#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

#include "cabinet/format/cab_format.h"

namespace cab::test {

std::string ReadFile(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const fs::path &path, const std::string &data) {
    if (path.has_parent_path())
        fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

// Read-only files and folders are made writable first so that everything goes.
static void RemoveTree(const fs::path &path) {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(path, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (!it->is_symlink())
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(path, ec);
}

std::map<std::string, std::string> ReadTree(const fs::path &root) {
    std::map<std::string, std::string> tree;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_regular_file())
            tree[fs::relative(it->path(), root).generic_string()] = ReadFile(it->path());
    }
    return tree;
}

Scratch::Scratch(const std::string &tag)
    : path_(fs::temp_directory_path() /
            ("cabmgr_" + tag + "_" + std::to_string(std::random_device{}()))) {
    RemoveTree(path_);
    fs::create_directories(path_);
}

Scratch::~Scratch() {
    if (!::testing::Test::HasFailure())
        RemoveTree(path_);
}

std::string RandomBytes(size_t size, uint32_t start) {
    Rng rng(start);
    std::string s(size, '\0');
    for (auto &c : s)
        c = char(rng.Next() >> 56);
    return s;
}

std::string CompressibleBytes(size_t size, uint32_t start) {
    static const char *const kWords[] = {"cabinet ", "folder ", "block ",  "data ",  "file ",
                                         "name\n",   "writer ", "reader ", "32768 ", "MSZIP "};
    Rng rng(start);
    std::string s;
    s.reserve(size + 16);
    while (s.size() < size)
        s += kWords[rng.Next() % 10];
    s.resize(size);
    return s;
}

std::string CallHeavyCode(size_t size, uint32_t start) {
    std::string code = RandomBytes(size, start);
    for (size_t at = 0; at + 5 <= size; at += 11) {
        code[at] = char(0xE8);
        StoreLe32(reinterpret_cast<uint8_t *>(&code[at + 1]),
                  uint32_t(int32_t(4096 * (at % 5)) - int32_t(at)));
    }
    return code;
}

std::string MixedBytes(size_t size, uint32_t start) {
    static const std::string kText = "The quick brown fox jumps over the lazy dog. 0123456789\n";
    Rng rng(start);
    std::string data;
    data.reserve(size);
    while (data.size() < size) {
        uint64_t pick = rng.Next();
        size_t block = std::min<size_t>(size - data.size(), 40000 + pick % 50000);
        for (size_t i = 0; i < block; ++i) {
            data += pick % 3 == 0   ? char(rng.Next() >> 56)
                    : pick % 3 == 1 ? kText[i % kText.size()]
                                    : '\0';
        }
    }
    return data;
}

fs::path CorpusDir() {
    const char *env = std::getenv("CABMGR_CORPUS_DIR");
    fs::path dir = env != nullptr ? env : CABMGR_CORPUS_DIR;
    return fs::exists(dir / "EXPECTED.tsv") ? dir : fs::path();
}

std::vector<fs::path> CorpusCabinets() {
    std::vector<fs::path> cabinets;
    for (const auto &e : fs::recursive_directory_iterator(CorpusDir())) {
        auto ext = e.path().extension();
        if (e.is_regular_file() && ext != ".tsv" && ext != ".md")
            cabinets.push_back(e.path());
    }
    std::sort(cabinets.begin(), cabinets.end());
    return cabinets;
}

std::vector<std::map<std::string, std::string>> ReadTsv(const fs::path &path) {
    std::ifstream in(path);
    std::vector<std::string> header;
    std::vector<std::map<std::string, std::string>> rows;
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> fields;
        std::stringstream stream(line);
        for (std::string field; std::getline(stream, field, '\t');)
            fields.push_back(field);
        if (header.empty()) {
            header = fields;
            continue;
        }
        fields.resize(std::max(fields.size(), header.size()));
        auto &row = rows.emplace_back();
        for (size_t i = 0; i < header.size(); ++i)
            row[header[i]] = fields[i];
    }
    return rows;
}

const std::string &CapturedReports::Take() {
    if (!taken_) {
        fflush(stdout);
        text_ = ::testing::internal::GetCapturedStdout();
        taken_ = true;
    }
    return text_;
}

ScopedEnv::ScopedEnv(const char *name, const char *value) : name_(name) {
    if (const char *old = std::getenv(name))
        old_ = old, had_ = true;
    value ? setenv(name, value, 1) : unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
    had_ ? setenv(name_.c_str(), old_.c_str(), 1) : unsetenv(name_.c_str());
}

int ShellStatus(const std::string &command) {
    int status = std::system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void ExpectPeersRead(const fs::path &cab, const std::map<std::string, std::string> &files,
                     const fs::path &work, const std::set<std::string> &excused) {
    static const std::pair<std::string, std::string> kPeers[] = {
        // $CAB into $OUT
        {"7zz", "7zz x -y -o\"$OUT\" \"$CAB\""},
        {"bsdtar", "mkdir -p \"$OUT\" && bsdtar -xf \"$CAB\" -C \"$OUT\""},
        {"gcab", "gcab -x -C \"$OUT\" \"$CAB\""},
        {"cabextract", "cabextract -q -d \"$OUT\" \"$CAB\""}};
    setenv("CAB", cab.c_str(), 1);
    EXPECT_TRUE(files.empty() || ShellStatus("cabextract -q -t \"$CAB\"") == 0);
    std::map<std::string, std::string> want;
    for (const auto &[name, bytes] : files) {
        std::string slashed = name;
        std::replace(slashed.begin(), slashed.end(), '\\', '/');
        want[slashed] = bytes;
    }
    for (const auto &[peer, command] : kPeers) {
        if (ShellStatus("command -v " + peer) != 0 || excused.count(peer))
            continue;
        fs::path out = work / ("x_" + peer);
        setenv("OUT", out.c_str(), 1);
        int status = ShellStatus(command);
        // A cabinet without files is an error to bsdtar and cabextract; none may find a file in it.
        bool refuses_empty = files.empty() && (peer == "bsdtar" || peer == "cabextract");
        EXPECT_TRUE(status == 0 || refuses_empty) << peer;
        EXPECT_TRUE(ReadTree(out) == want) << peer << " extracted other contents";
        fs::remove_all(out);
    }
}

Sha256::Sha256()
    : out_(fs::temp_directory_path() / ("cabmgr_sha256_" + std::to_string(std::random_device{}()))),
      pipe_(popen(("exec sha256sum >'" + out_.string() + "'").c_str(), "w")) {}

const std::string &Sha256::HexDigest() {
    if (pipe_ != nullptr) {
        pclose(pipe_);
        pipe_ = nullptr;
        digest_ = ReadFile(out_).substr(0, 64);
        fs::remove(out_);
    }
    return digest_;
}

}  // namespace cab::test

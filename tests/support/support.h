// What every suite shares (and includes: GoogleTest, files, strings and the standard containers):
// scratch folders, files, generated content, the shared corpus, the other cabinet tools, captured
// output and environment variables set for a while.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace cab::test {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

inline Bytes ToBytes(const std::string &s) {
    return Bytes(s.begin(), s.end());
}
std::string ReadFile(const fs::path &path);
void WriteFile(const fs::path &path, const std::string &data);  // parent folders made
// Every regular file below root: relative name -> contents.
std::map<std::string, std::string> ReadTree(const fs::path &root);

// A fresh folder of its own, removed with everything in it unless the test failed.
class Scratch {
public:
    explicit Scratch(const std::string &tag);
    ~Scratch();
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;
    const fs::path &path() const { return path_; }
    fs::path operator/(const fs::path &rel) const { return path_ / rel; }

private:
    fs::path path_;
};

// xorshift64: the same numbers on every machine.
struct Rng {
    uint64_t state;
    explicit Rng(uint64_t start) : state(start * 0x9E3779B97F4A7C15ull + 1) {}
    uint64_t Next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }
};

std::string RandomBytes(size_t size, uint32_t start);
// Text-like data that deflate shrinks.
std::string CompressibleBytes(size_t size, uint32_t start);
// x86-like code: calls to a few targets among random bytes, as linkers leave them.
std::string CallHeavyCode(size_t size, uint32_t start);
// Random stretches, text and zeros, so that stored and compressed blocks of every size occur.
std::string MixedBytes(size_t size, uint32_t start);
inline Bytes MakeContent(size_t size, uint32_t start = 1) {
    return ToBytes(CompressibleBytes(size, start));
}

// The shared corpus: the environment variable CABMGR_CORPUS_DIR, else the CMake cache variable;
// empty when neither names a folder holding EXPECTED.tsv.
fs::path CorpusDir();
#define SKIP_WITHOUT_CORPUS()             \
    if (::cab::test::CorpusDir().empty()) \
    GTEST_SKIP() << "no corpus (set CABMGR_CORPUS_DIR to a folder holding EXPECTED.tsv)"
// Every cabinet of the corpus, by path, sorted.
std::vector<fs::path> CorpusCabinets();
// Rows of a TSV file with a header line, each as column name -> value.
std::vector<std::map<std::string, std::string>> ReadTsv(const fs::path &path);

// Standard output (where the reports go) captured for the life of the object.
class CapturedReports {
public:
    CapturedReports() { ::testing::internal::CaptureStdout(); }
    ~CapturedReports() { Take(); }
    CapturedReports(const CapturedReports &) = delete;
    CapturedReports &operator=(const CapturedReports &) = delete;
    const std::string &Take();

private:
    std::string text_;
    bool taken_ = false;
};
template <typename Body>
std::string CapturedStdout(Body body) {
    CapturedReports reports;
    body();
    return reports.Take();
}

// An environment variable set (or, with nullptr, unset) for the life of the object.
class ScopedEnv {
public:
    ScopedEnv(const char *name, const char *value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
    std::string name_, old_;
    bool had_ = false;
};

// The exit status of a shell command whose output is discarded (-1 when it did not exit).
int ShellStatus(const std::string &command);
// Each of Debian's cabinet tools that is installed and not `excused` extracts `cab` into a folder
// below `work`, exiting 0, with every file byte for byte (a '\\' in a name becoming '/'); and
// cabextract tests it clean.
void ExpectPeersRead(const fs::path &cab, const std::map<std::string, std::string> &files,
                     const fs::path &work, const std::set<std::string> &excused = {});

// SHA-256 of everything written to it, by the system's sha256sum (which uses the processor's
// SHA instructions where it has them).
class Sha256 {
public:
    Sha256();
    ~Sha256() { HexDigest(); }
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;
    void Update(const void *data, size_t size) { fwrite(data, 1, size, pipe_); }
    const std::string &HexDigest();  // ends the input

private:
    fs::path out_;
    FILE *pipe_;
    std::string digest_;
};

}  // namespace cab::test

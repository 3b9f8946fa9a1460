#include "tests/support/support.h"

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

namespace {
uint32_t Rotr(uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}
}  // namespace

void Sha256::Update(const uint8_t *data, size_t size) {
    total_ += size;
    while (size > 0) {
        size_t n = std::min(size, size_t(64) - used_);
        memcpy(buf_ + used_, data, n);
        used_ += n, data += n, size -= n;
        if (used_ == 64) {
            Block(buf_);
            used_ = 0;
        }
    }
}

std::string Sha256::HexDigest() {
    uint64_t bits = total_ * 8;
    uint8_t pad[72] = {0x80};
    size_t pad_size = (used_ < 56 ? 56 : 120) - used_;
    for (int i = 0; i < 8; ++i)
        pad[pad_size + i] = uint8_t(bits >> (56 - 8 * i));
    Update(pad, pad_size + 8);
    std::string out;
    for (uint32_t v : h_) {
        for (int i = 28; i >= 0; i -= 4)
            out += "0123456789abcdef"[(v >> i) & 15];
    }
    return out;
}

void Sha256::Block(const uint8_t *p) {
    static const uint32_t k[64] = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
        0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
        0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
        0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
        0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
        0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
        0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
        0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
        0xc67178f2};
    uint32_t w[64];
    for (int i = 0; i < 16; ++i)
        w[i] = uint32_t(p[4 * i]) << 24 | p[4 * i + 1] << 16 | p[4 * i + 2] << 8 | p[4 * i + 3];
    for (int i = 16; i < 64; ++i) {
        uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t v[8];
    std::copy(h_, h_ + 8, v);
    for (int i = 0; i < 64; ++i) {
        uint32_t t1 = v[7] + (Rotr(v[4], 6) ^ Rotr(v[4], 11) ^ Rotr(v[4], 25)) +
                      ((v[4] & v[5]) ^ (~v[4] & v[6])) + k[i] + w[i];
        uint32_t t2 = (Rotr(v[0], 2) ^ Rotr(v[0], 13) ^ Rotr(v[0], 22)) +
                      ((v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]));
        std::copy_backward(v, v + 7, v + 8);
        v[4] += t1;
        v[0] = t1 + t2;
    }
    for (int i = 0; i < 8; ++i)
        h_[i] += v[i];
}

}  // namespace cab::test

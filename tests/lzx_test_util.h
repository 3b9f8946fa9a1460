// Helpers for the LZX and Quantum decoder tests: an MD5 digest, a minimal CFFOLDER/CFDATA walker
// over corpus cabinets (spanning sets included) that feeds whole data blocks to a BlockDecoder, and
// the EXPECTED.tsv rows to compare against. The walker trusts nothing: every field is bounds
// checked, and a cabinet it cannot parse is reported, not decoded.
#pragma once

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include "cabinet/cab_format.h"
#include "cabinet/codec.h"
#include "cabinet/fdi_fci_types.h"

namespace cab::test {

class Md5 {
public:
    void Update(const uint8_t *data, size_t size) {
        total_ += size;
        while (size > 0) {
            size_t take = std::min(size, 64 - fill_);
            std::memcpy(block_ + fill_, data, take);
            fill_ += take;
            data += take;
            size -= take;
            if (fill_ == 64) {
                Transform(block_);
                fill_ = 0;
            }
        }
    }

    std::string HexDigest() {
        uint64_t bits = total_ * 8;
        uint8_t pad[72] = {0x80};
        size_t pad_len = (fill_ < 56 ? 56 : 120) - fill_;
        Update(pad, pad_len);
        uint8_t len[8];
        for (int i = 0; i < 8; ++i)
            len[i] = uint8_t(bits >> (8 * i));
        Update(len, 8);
        static const char kHex[] = "0123456789abcdef";
        std::string out;
        for (uint32_t word : state_) {
            for (int i = 0; i < 4; ++i) {
                uint8_t b = uint8_t(word >> (8 * i));
                out += kHex[b >> 4];
                out += kHex[b & 15];
            }
        }
        return out;
    }

private:
    static uint32_t Rotl(uint32_t x, int c) { return (x << c) | (x >> (32 - c)); }

    void Transform(const uint8_t *p) {
        static const uint32_t kK[64] = {
            0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613,
            0xfd469501, 0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193,
            0xa679438e, 0x49b40821, 0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d,
            0x02441453, 0xd8a1e681, 0xe7d3fbc8, 0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed,
            0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a, 0xfffa3942, 0x8771f681, 0x6d9d6122,
            0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70, 0x289b7ec6, 0xeaa127fa,
            0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665, 0xf4292244,
            0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
            0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb,
            0xeb86d391};
        static const int kShift[16] = {7, 12, 17, 22, 5, 9, 14, 20, 4, 11, 16, 23, 6, 10, 15, 21};
        uint32_t m[16];
        for (int i = 0; i < 16; ++i)
            m[i] = LoadLe32(p + 4 * i);
        uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
        for (int i = 0; i < 64; ++i) {
            uint32_t f;
            int g;
            if (i < 16) {
                f = (b & c) | (~b & d);
                g = i;
            } else if (i < 32) {
                f = (d & b) | (~d & c);
                g = (5 * i + 1) % 16;
            } else if (i < 48) {
                f = b ^ c ^ d;
                g = (3 * i + 5) % 16;
            } else {
                f = c ^ (b | ~d);
                g = (7 * i) % 16;
            }
            uint32_t next = b + Rotl(a + f + kK[i] + m[g], kShift[(i / 16) * 4 + i % 4]);
            a = d;
            d = c;
            c = b;
            b = next;
        }
        state_[0] += a;
        state_[1] += b;
        state_[2] += c;
        state_[3] += d;
    }

    uint32_t state_[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    uint8_t block_[64] = {};
    size_t fill_ = 0;
    uint64_t total_ = 0;
};

inline std::string CorpusPath(const std::string &relative) {
    return std::string(CABMGR_CORPUS_DIR) + "/" + relative;
}

inline std::vector<uint8_t> ReadFileBytes(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), {});
}

inline std::vector<std::string> SplitTabs(const std::string &line) {
    std::vector<std::string> fields;
    std::stringstream ss(line);
    std::string field;
    while (std::getline(ss, field, '\t'))
        fields.push_back(field);
    return fields;
}

// One row of EXPECTED.tsv.
struct ExpectedFile {
    std::string cab, mode, name, md5, status;
    uint64_t size = 0;
};

inline std::vector<ExpectedFile> LoadExpected() {
    std::vector<ExpectedFile> rows;
    std::ifstream f(CorpusPath("EXPECTED.tsv"));
    std::string line;
    std::getline(f, line);
    while (std::getline(f, line)) {
        auto v = SplitTabs(line);
        if (v.size() < 11)
            continue;
        rows.push_back({v[0], v[1], v[4], v[7], v[10], std::stoull(v[5])});
    }
    return rows;
}

// MANIFEST.tsv: path -> (compression, span_set).
struct ManifestRow {
    std::string path, compression, span_set;
};

inline std::vector<ManifestRow> LoadManifest() {
    std::vector<ManifestRow> rows;
    std::ifstream f(CorpusPath("MANIFEST.tsv"));
    std::string line;
    std::getline(f, line);
    while (std::getline(f, line)) {
        auto v = SplitTabs(line);
        if (v.size() < 15)
            continue;
        rows.push_back({v[0], v[14], v[12]});
    }
    return rows;
}

// The parts of the spanning set headed by `head`, in order (just `head` for a single cabinet).
inline std::vector<std::string> SetParts(const std::vector<ManifestRow> &manifest,
                                         const std::string &head) {
    std::map<int, std::string> parts;
    for (const auto &row : manifest) {
        if (row.span_set.rfind(head + " part ", 0) != 0)
            continue;
        parts[std::stoi(row.span_set.substr(head.size() + 6))] = row.path;
    }
    std::vector<std::string> out;
    for (auto &[n, path] : parts)
        out.push_back(path);
    if (out.empty())
        out.push_back(head);
    return out;
}

struct ParsedFile {
    std::string name;  // '\' turned into '/'
    uint32_t size = 0, offset = 0;
    uint16_t folder = 0;
};

struct DataBlock {
    std::vector<uint8_t> bytes;
    uint16_t cb_uncomp = 0;
};

struct ParsedFolder {
    uint16_t type_compress = 0;
    std::vector<DataBlock> blocks;  // parts of split blocks are separate entries (cb_uncomp 0)
};

struct ParsedCabinet {
    uint16_t flags = 0;
    std::vector<ParsedFolder> folders;
    std::vector<ParsedFile> files;
};

// Parses `bytes` as a cabinet; false if any record lies outside the file.
inline bool ParseCabinet(const std::vector<uint8_t> &bytes, ParsedCabinet *cab) {
    const size_t n = bytes.size();
    const uint8_t *p = bytes.data();
    if (n < kHeaderFixedSize || std::memcmp(p, kSignature, 4) != 0)
        return false;
    uint32_t coff_files = LoadLe32(p + 16);
    uint16_t c_folders = LoadLe16(p + 26), c_files = LoadLe16(p + 28);
    cab->flags = LoadLe16(p + 30);
    size_t at = kHeaderFixedSize;
    uint32_t header_reserve = 0, folder_reserve = 0, data_reserve = 0;
    if (cab->flags & kFlagReservePresent) {
        if (n < at + 4)
            return false;
        header_reserve = LoadLe16(p + at);
        folder_reserve = p[at + 2];
        data_reserve = p[at + 3];
        at += 4 + header_reserve;
    }
    auto skip_string = [&]() {
        while (at < n && p[at] != 0)
            ++at;
        ++at;
    };
    if (cab->flags & kFlagPrevCabinet) {
        skip_string();
        skip_string();
    }
    if (cab->flags & kFlagNextCabinet) {
        skip_string();
        skip_string();
    }
    for (int i = 0; i < c_folders; ++i) {
        if (at + kFolderFixedSize > n)
            return false;
        CabFolder folder = CabFolder::Decode(p + at);
        at += kFolderFixedSize + folder_reserve;
        ParsedFolder parsed;
        parsed.type_compress = folder.typeCompress;
        size_t d = folder.coffCabStart;
        for (int b = 0; b < folder.cCFData; ++b) {
            if (d + kDataFixedSize + data_reserve > n)
                return false;
            CabData data = CabData::Decode(p + d);
            d += kDataFixedSize + data_reserve;
            if (d + data.cbData > n)
                return false;
            parsed.blocks.push_back({{p + d, p + d + data.cbData}, data.cbUncomp});
            d += data.cbData;
        }
        cab->folders.push_back(std::move(parsed));
    }
    at = coff_files;
    for (int i = 0; i < c_files; ++i) {
        if (at + kFileFixedSize > n)
            return false;
        CabFile file = CabFile::DecodeFixed(p + at);
        at += kFileFixedSize;
        ParsedFile parsed{"", file.cbFile, file.uoffFolderStart, file.iFolder};
        while (at < n && p[at] != 0)
            parsed.name += char(p[at] == '\\' ? '/' : p[at]), ++at;
        if (at >= n)
            return false;
        ++at;
        cab->files.push_back(parsed);
    }
    return true;
}

// A folder as the decoder sees it, joined across a spanning set.
struct LogicalFolder {
    uint16_t type_compress = 0;
    std::vector<DataBlock> blocks;  // split parts joined
    std::vector<ParsedFile> files;
};

// Joins the cabinets of a set into logical folders. The last folder of a cabinet continues into
// folder 0 of the next when a file of the next is marked as continued from the previous one.
inline bool LoadFolders(const std::vector<std::string> &paths, std::vector<LogicalFolder> *out) {
    std::vector<ParsedCabinet> cabs(paths.size());
    for (size_t i = 0; i < paths.size(); ++i) {
        if (!ParseCabinet(ReadFileBytes(CorpusPath(paths[i])), &cabs[i]))
            return false;
    }
    std::vector<uint8_t> pending;
    for (size_t c = 0; c < cabs.size(); ++c) {
        bool continues = false;
        for (const auto &f : cabs[c].files) {
            continues |=
                f.folder == kFolderContinuedFromPrev || f.folder == kFolderContinuedPrevAndNext;
        }
        for (size_t f = 0; f < cabs[c].folders.size(); ++f) {
            if (!(f == 0 && continues && !out->empty())) {
                out->push_back({cabs[c].folders[f].type_compress, {}, {}});
                pending.clear();
            }
            for (const auto &part : cabs[c].folders[f].blocks) {
                pending.insert(pending.end(), part.bytes.begin(), part.bytes.end());
                if (part.cb_uncomp == 0)
                    continue;
                out->back().blocks.push_back({pending, part.cb_uncomp});
                pending.clear();
            }
        }
        // Files are counted in the cabinet where they start.
        size_t first = out->size() - cabs[c].folders.size();
        for (const auto &file : cabs[c].files) {
            if (file.folder == kFolderContinuedFromPrev ||
                file.folder == kFolderContinuedPrevAndNext) {
                continue;
            }
            size_t folder =
                file.folder == kFolderContinuedToNext ? out->size() - 1 : first + file.folder;
            if (folder >= out->size())
                continue;  // a producer quirk; such files are not checked
            (*out)[folder].files.push_back(file);
        }
    }
    return true;
}

// Decodes every block of `folder` with `decoder`; calls `sink(folder_offset, data, size)` for
// each frame. Returns the first non-kOk status.
inline DecodeStatus DecodeFolder(
    BlockDecoder &decoder, const LogicalFolder &folder,
    const std::function<void(uint64_t, const uint8_t *, size_t)> &sink) {
    decoder.Reset();
    uint64_t offset = 0;
    for (const auto &block : folder.blocks) {
        // Exact-size buffers, so that the sanitizers see any access past either end.
        std::vector<uint8_t> in(block.bytes), out(block.cb_uncomp);
        DecodeStatus status = decoder.DecodeBlock(in.data(), in.size(), out.data(), out.size());
        if (status != DecodeStatus::kOk)
            return status;
        sink(offset, out.data(), block.cb_uncomp);
        offset += block.cb_uncomp;
    }
    return DecodeStatus::kOk;
}

using DecoderFactory = std::function<std::unique_ptr<BlockDecoder>(uint16_t type_compress)>;

// Decodes each folder of a cabinet (or set) whose method `factory` accepts, and returns the MD5 of
// every file in those folders by name; "error" for files of a folder that failed to decode.
inline std::map<std::string, std::string> DigestFiles(const std::vector<LogicalFolder> &folders,
                                                      const DecoderFactory &factory) {
    std::map<std::string, std::string> digests;
    for (const auto &folder : folders) {
        auto decoder = factory(folder.type_compress);
        if (!decoder)
            continue;
        std::vector<Md5> md5(folder.files.size());
        DecodeStatus status =
            DecodeFolder(*decoder, folder, [&](uint64_t at, const uint8_t *data, size_t size) {
                for (size_t i = 0; i < folder.files.size(); ++i) {
                    uint64_t begin = folder.files[i].offset;
                    uint64_t end = begin + folder.files[i].size;
                    uint64_t lo = std::max(begin, at), hi = std::min(end, at + size);
                    if (lo < hi)
                        md5[i].Update(data + (lo - at), size_t(hi - lo));
                }
            });
        for (size_t i = 0; i < folder.files.size(); ++i) {
            digests[folder.files[i].name] =
                status == DecodeStatus::kOk ? md5[i].HexDigest() : "error";
        }
    }
    return digests;
}

// Turns the \xNN escapes EXPECTED.tsv uses for non-ASCII names back into bytes.
inline std::string UnescapeName(const std::string &name) {
    std::string out;
    for (size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '\\' && i + 3 < name.size() && name[i + 1] == 'x') {
            out += char(std::stoi(name.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            out += name[i];
        }
    }
    return out;
}

// Checks every successfully listed EXPECTED.tsv row of the cabinets whose MANIFEST compression
// mentions `method` against what `factory`'s decoders produce. `skip` filters out cabinets (by
// path) the caller handles elsewhere. Returns the number of files compared.
inline int CheckCorpusMethod(const std::string &method, const DecoderFactory &factory,
                             const std::function<bool(const std::string &)> &skip) {
    auto manifest = LoadManifest();
    std::map<std::string, bool> uses_method;
    for (const auto &row : manifest) {
        uses_method[row.path] = row.compression.find(method) != std::string::npos;
    }
    std::map<std::pair<std::string, std::string>, std::vector<ExpectedFile>> groups;
    for (const auto &row : LoadExpected()) {
        if (row.status != "OK" || !uses_method[row.cab] || skip(row.cab))
            continue;
        groups[{row.cab, row.mode}].push_back(row);
    }
    int compared = 0;
    for (const auto &[key, rows] : groups) {
        const auto &[cab, mode] = key;
        std::vector<std::string> parts =
            mode == "single" ? std::vector<std::string>{cab} : SetParts(manifest, cab);
        if (mode != "single") {
            EXPECT_EQ("set:" + std::to_string(parts.size()), mode) << cab;
        }
        std::vector<LogicalFolder> folders;
        if (!LoadFolders(parts, &folders)) {
            ADD_FAILURE() << "cannot walk " << cab;
            continue;
        }
        auto digests = DigestFiles(folders, factory);
        for (const auto &row : rows) {
            auto it = digests.find(UnescapeName(row.name));
            if (it == digests.end())
                continue;  // a file of another method's folder
            EXPECT_EQ(it->second, row.md5) << cab << " (" << mode << "): " << row.name;
            ++compared;
        }
    }
    return compared;
}

// Outcome counts of a corruption run; anything but kOk or kBadData is a failure.
struct CorruptionTally {
    int ok = 0, bad_data = 0, other = 0;
};

// Decodes mutated copies of `folder`: every block cut short at a few points, `flips` single-bit
// flips at pseudo-random places, and wrong cbUncomp values. The decoder must end every run in kOk
// or kBadData, and a Reset() must make it decode the intact folder again.
inline CorruptionTally RunCorruptions(BlockDecoder &decoder, const LogicalFolder &folder,
                                      int flips) {
    CorruptionTally tally;
    auto run = [&](const LogicalFolder &mutated) {
        switch (DecodeFolder(decoder, mutated, [](uint64_t, const uint8_t *, size_t) {})) {
            case DecodeStatus::kOk:
                ++tally.ok;
                break;
            case DecodeStatus::kBadData:
                ++tally.bad_data;
                break;
            default:
                ++tally.other;
        }
    };
    const size_t n_blocks = folder.blocks.size();
    // Truncations of the first, a middle and the last block.
    for (size_t b : {size_t(0), n_blocks / 2, n_blocks - 1}) {
        if (b >= n_blocks)
            continue;
        size_t size = folder.blocks[b].bytes.size();
        for (size_t cut : {size_t(0), size_t(1), size / 2, size - std::min<size_t>(size, 2),
                           size - std::min<size_t>(size, 1)}) {
            LogicalFolder mutated = folder;
            mutated.blocks[b].bytes.resize(cut);
            run(mutated);
        }
    }
    uint64_t state = 0x9E3779B97F4A7C15ull;
    auto next = [&state]() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    for (int i = 0; i < flips; ++i) {
        LogicalFolder mutated = folder;
        // Mostly early bytes: headers and trees are where checks matter most.
        auto &bytes = mutated.blocks[next() % n_blocks].bytes;
        if (bytes.empty())
            continue;
        size_t limit = (i % 2 == 0) ? std::min<size_t>(bytes.size(), 64) : bytes.size();
        bytes[next() % limit] ^= uint8_t(1u << (next() % 8));
        run(mutated);
    }
    for (uint16_t bad : {uint16_t(1), uint16_t(32767), uint16_t(32769), uint16_t(65535)}) {
        LogicalFolder first = folder, last = folder;
        first.blocks.front().cb_uncomp = bad;
        last.blocks.back().cb_uncomp = uint16_t(last.blocks.back().cb_uncomp + bad);
        run(first);
        run(last);
    }
    LogicalFolder extra = folder;  // a block after the last (short) frame
    extra.blocks.push_back(folder.blocks.back());
    run(extra);
    return tally;
}

// The folders of `cab` compressed with `method` (a tcompTYPE_* value).
inline std::vector<LogicalFolder> FoldersOfMethod(const std::string &cab, int method) {
    std::vector<LogicalFolder> folders, picked;
    EXPECT_TRUE(LoadFolders({cab}, &folders)) << cab;
    for (auto &f : folders) {
        if ((f.type_compress & tcompMASK_TYPE) == method)
            picked.push_back(std::move(f));
    }
    return picked;
}

// RunCorruptions over every `method` folder of `cabs`, checking that each decoder, once Reset(),
// still decodes the intact folder. Returns the summed tally.
inline CorruptionTally CorruptEachFolder(const std::vector<std::string> &cabs, int method,
                                         const DecoderFactory &factory, int flips) {
    CorruptionTally total;
    for (const auto &cab : cabs) {
        for (const auto &folder : FoldersOfMethod(cab, method)) {
            auto decoder = factory(folder.type_compress);
            CorruptionTally t = RunCorruptions(*decoder, folder, flips);
            total.ok += t.ok;
            total.bad_data += t.bad_data;
            total.other += t.other;
            EXPECT_EQ(DecodeFolder(*decoder, folder, [](uint64_t, const uint8_t *, size_t) {}),
                      DecodeStatus::kOk)
                << cab;
        }
    }
    return total;
}

}  // namespace cab::test

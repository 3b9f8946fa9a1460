// Shared helpers of the engine's suites: file and content helpers, SHA-256, the corpus TSV reader,
// in-memory FDI callbacks with fault injection and a notification recorder, a builder for crafted
// cabinets, FCI callbacks over scratch files, a layout parser, and mutators for damaged input.
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cabinet/fci.h"
#include "cabinet/fdi.h"
#include "cabinet/format/cab_format.h"

namespace cab::test {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

inline Bytes ToBytes(const std::string &s) {
    return Bytes(s.begin(), s.end());
}

inline Bytes ReadDiskFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline std::string ReadFileBytes(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteFileBytes(const fs::path &p, const std::string &bytes) {
    fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary);
    out.write(bytes.data(), std::streamsize(bytes.size()));
}

// Text-like data that deflate shrinks, reproducible from `start`.
inline std::string CompressibleBytes(size_t size, uint32_t start) {
    static const char *const kWords[] = {"cabinet ", "folder ", "block ",  "data ",  "file ",
                                         "name\n",   "writer ", "reader ", "32768 ", "MSZIP "};
    std::mt19937 rng(start);
    std::string s;
    s.reserve(size + 16);
    while (s.size() < size) {
        s += kWords[rng() % 10];
    }
    s.resize(size);
    return s;
}

inline std::string RandomBytes(size_t size, uint32_t start) {
    std::mt19937 rng(start);
    std::string s(size, '\0');
    for (auto &c : s) {
        c = char(rng());
    }
    return s;
}

// x86-like code: calls to a few targets among random bytes, as linkers leave them.
inline std::string CallHeavyCode(size_t size, uint32_t start) {
    std::string code = RandomBytes(size, start);
    for (size_t at = 0; at + 5 <= size; at += 11) {
        code[at] = char(0xE8);
        StoreLe32(reinterpret_cast<uint8_t *>(&code[at + 1]),
                  uint32_t(int32_t(4096 * (at % 5)) - int32_t(at)));
    }
    return code;
}

inline Bytes MakeContent(size_t size, uint32_t start = 1) {
    return ToBytes(CompressibleBytes(size, start));
}

// Rows of a corpus TSV file (EXPECTED.tsv, MANIFEST.tsv), header line skipped.
inline std::vector<std::vector<std::string>> ReadTsv(const std::string &path) {
    std::vector<std::vector<std::string>> rows;
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::vector<std::string> cols;
        std::stringstream ss(line);
        for (std::string col; std::getline(ss, col, '\t');)
            cols.push_back(col);
        rows.push_back(cols);
    }
    return rows;
}

// ---------------------------------------------------------------------------------------------
// SHA-256, enough to compare extracted content with the corpus expectations.

class Sha256 {
public:
    void Update(const uint8_t *data, size_t size) {
        total_ += size;
        if (used_ > 0) {
            size_t n = std::min(size, size_t(64) - used_);
            memcpy(buf_ + used_, data, n);
            used_ += n, data += n, size -= n;
            if (used_ < 64)
                return;
            Block(buf_);
            used_ = 0;
        }
        for (; size >= 64; data += 64, size -= 64)
            Block(data);
        memcpy(buf_, data, size);
        used_ = size;
    }
    std::string HexDigest() {
        uint64_t bits = total_ * 8;
        uint8_t pad[72] = {0x80};
        size_t pad_size = (used_ < 56 ? 56 : 120) - used_;
        for (int i = 0; i < 8; ++i)
            pad[pad_size + i] = uint8_t(bits >> (56 - 8 * i));
        Update(pad, pad_size + 8);
        static const char hex[] = "0123456789abcdef";
        std::string out;
        for (uint32_t v : h_) {
            for (int i = 28; i >= 0; i -= 4)
                out += hex[(v >> i) & 15];
        }
        return out;
    }

private:
    static uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
    void Block(const uint8_t *p) {
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
        for (int i = 0; i < 16; ++i) {
            w[i] = uint32_t(p[4 * i]) << 24 | uint32_t(p[4 * i + 1]) << 16 |
                   uint32_t(p[4 * i + 2]) << 8 | p[4 * i + 3];
        }
        for (int i = 16; i < 64; ++i) {
            uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3], e = h_[4], f = h_[5], g = h_[6],
                 h = h_[7];
        for (int i = 0; i < 64; ++i) {
            uint32_t t1 =
                h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + k[i] + w[i];
            uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            h = g, g = f, f = e, e = d + t1, d = c, c = b, b = a, a = t1 + t2;
        }
        h_[0] += a, h_[1] += b, h_[2] += c, h_[3] += d, h_[4] += e, h_[5] += f, h_[6] += g,
            h_[7] += h;
    }

    uint32_t h_[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                      0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    uint8_t buf_[64] = {};
    size_t used_ = 0;
    uint64_t total_ = 0;
};

// ---------------------------------------------------------------------------------------------
// In-memory files behind the FDI callbacks. The callbacks carry no context, so there is one
// file system per process; each test starts with Reset().

struct MemFs {
    std::map<std::string, Bytes> files;  // cabinets by the full name FDI opens
    bool load_from_disk = false;         // names not in `files` are read from disk
    bool keep_output = true;             // false: outputs only count and hash what is written
    struct Handle {
        bool open = false;
        bool is_output = false;
        std::string name;
        std::shared_ptr<Bytes> data;
        size_t pos = 0;
        std::shared_ptr<Sha256> digest;  // outputs: everything written
        uint64_t written = 0;
    };
    std::vector<Handle> handles;
    std::vector<std::string> opened;  // every name FDI asked to open, in order
    std::vector<int> open_flags;
    // Fault injection: the n-th call (0-based) of each kind fails; -1 = never.
    long fail_alloc_at = -1, fail_read_at = -1, fail_write_at = -1;
    long allocs = 0, reads = 0, writes = 0, frees = 0, live_allocs = 0;
    size_t largest_read = 0;
    size_t read_calls = 0, write_calls = 0;

    void Reset() { *this = MemFs(); }

    INT_PTR AddHandle(const std::string &name, std::shared_ptr<Bytes> data, bool output) {
        handles.push_back(Handle{true, output, name, std::move(data), 0,
                                 output ? std::make_shared<Sha256>() : nullptr, 0});
        return INT_PTR(handles.size());  // never 0 or -1
    }
    Handle *Get(INT_PTR hf) {
        if (hf < 1 || size_t(hf) > handles.size() || !handles[hf - 1].open)
            return nullptr;
        return &handles[hf - 1];
    }
    // A handle an FDI caller can return from fdintCOPY_FILE.
    INT_PTR CreateOutput(const std::string &name) {
        return AddHandle(name, std::make_shared<Bytes>(), true);
    }
    size_t OpenHandles() const {
        size_t n = 0;
        for (const auto &h : handles)
            n += h.open;
        return n;
    }
};

inline MemFs &Fs() {
    static MemFs fs;
    return fs;
}

inline FNALLOC(MemAlloc) {
    MemFs &fs = Fs();
    if (fs.allocs++ == fs.fail_alloc_at)
        return nullptr;
    ++fs.live_allocs;
    return malloc(cb);
}
inline FNFREE(MemFree) {
    if (pv)
        --Fs().live_allocs;
    free(pv);
}
inline FNOPEN(MemOpen) {
    MemFs &fs = Fs();
    fs.opened.push_back(pszFile);
    fs.open_flags.push_back(oflag);
    (void)pmode;
    auto it = fs.files.find(pszFile);
    if (it == fs.files.end()) {
        if (!fs.load_from_disk)
            return -1;
        std::ifstream in(pszFile, std::ios::binary);
        if (!in)
            return -1;
        fs.files[pszFile] = ReadDiskFile(pszFile);
        it = fs.files.find(pszFile);
    }
    // Readers share the stored bytes (no copy per open); the map outlives every handle.
    return fs.AddHandle(pszFile, std::shared_ptr<Bytes>(std::shared_ptr<Bytes>(), &it->second),
                        false);
}
inline FNREAD(MemRead) {
    MemFs &fs = Fs();
    ++fs.read_calls;
    if (fs.reads++ == fs.fail_read_at)
        return UINT(-1);
    MemFs::Handle *h = fs.Get(hf);
    if (!h || h->is_output)
        return UINT(-1);
    if (cb > fs.largest_read)
        fs.largest_read = cb;
    size_t left = h->pos < h->data->size() ? h->data->size() - h->pos : 0;
    size_t n = cb < left ? cb : left;
    if (n > 0)
        memcpy(pv, h->data->data() + h->pos, n);
    h->pos += n;
    return UINT(n);
}
inline FNWRITE(MemWrite) {
    MemFs &fs = Fs();
    ++fs.write_calls;
    if (fs.writes++ == fs.fail_write_at)
        return UINT(-1);
    MemFs::Handle *h = fs.Get(hf);
    if (!h || !h->is_output)
        return UINT(-1);
    const uint8_t *p = static_cast<const uint8_t *>(pv);
    if (fs.keep_output)
        h->data->insert(h->data->end(), p, p + cb);
    h->digest->Update(p, cb);
    h->written += cb;
    return cb;
}
inline FNCLOSE(MemClose) {
    MemFs::Handle *h = Fs().Get(hf);
    if (!h)
        return -1;
    h->open = false;
    return 0;
}
inline FNSEEK(MemSeek) {
    MemFs::Handle *h = Fs().Get(hf);
    if (!h)
        return -1;
    long base = seektype == 0 ? 0 : seektype == 1 ? long(h->pos) : long(h->data->size());
    long pos = base + dist;
    if (pos < 0)
        return -1;
    h->pos = size_t(pos);
    return pos;
}

inline HFDI CreateMemFdi(ERF *erf) {
    return FDICreate(MemAlloc, MemFree, MemOpen, MemRead, MemWrite, MemClose, MemSeek, cpuUNKNOWN,
                     erf);
}

// ---------------------------------------------------------------------------------------------
// Notification recorder: answers like a plain extracting caller unless told otherwise.

struct Event {
    FDINOTIFICATIONTYPE type;
    std::string psz1, psz2, psz3;
    long cb = 0;
    USHORT date = 0, time = 0, attribs = 0, setID = 0, iCabinet = 0;
    FDIERROR fdie = FDIERROR_NONE;
    bool psz1_null = false;
};

struct ExtractedFile {
    std::string name;
    Bytes data;  // empty unless the file system keeps outputs
    std::string sha256;
    uint64_t size = 0;
    USHORT date = 0, time = 0, attribs = 0;
    bool exec = false;
};

struct Recorder {
    std::vector<Event> events;
    std::vector<std::string> partial;  // names given by fdintPARTIAL_FILE
    std::vector<ExtractedFile> files;
    // Answer to fdintCOPY_FILE: return 0 to skip, -1 to abort, or 1 to extract.
    std::function<int(const Event &)> on_copy = [](const Event &) { return 1; };
    std::function<INT_PTR(FDINOTIFICATIONTYPE, FDINOTIFICATION *)> override_answer;
    // At fdintNEXT_CABINET: may rewrite psz3; returns 0 or -1.
    std::function<INT_PTR(FDINOTIFICATION *)> on_next = [](FDINOTIFICATION *) { return 0; };
    std::map<INT_PTR, std::string> open_outputs;

    std::string Types() const {
        std::string s;
        for (const auto &e : events)
            s += char('0' + e.type);
        return s;
    }
};

inline FNFDINOTIFY(RecordingNotify) {
    Recorder &r = *static_cast<Recorder *>(pfdin->pv);
    Event e;
    e.type = fdint;
    e.psz1_null = pfdin->psz1 == nullptr;
    if (pfdin->psz1)
        e.psz1 = pfdin->psz1;
    if (pfdin->psz2 && fdint != fdintCLOSE_FILE_INFO)
        e.psz2 = pfdin->psz2;
    if (pfdin->psz3 && fdint != fdintCLOSE_FILE_INFO && fdint != fdintCOPY_FILE)
        e.psz3 = pfdin->psz3;
    e.cb = pfdin->cb;
    e.date = pfdin->date, e.time = pfdin->time, e.attribs = pfdin->attribs;
    e.setID = pfdin->setID, e.iCabinet = pfdin->iCabinet, e.fdie = pfdin->fdie;
    r.events.push_back(e);
    if (r.override_answer) {
        INT_PTR a = r.override_answer(fdint, pfdin);
        if (a != 12345)
            return a;
    }
    switch (fdint) {
        case fdintCOPY_FILE: {
            int a = r.on_copy(e);
            if (a <= 0)
                return a;
            INT_PTR hf = Fs().CreateOutput(e.psz1);
            r.open_outputs[hf] = e.psz1;
            return hf;
        }
        case fdintCLOSE_FILE_INFO: {
            MemFs::Handle *h = Fs().Get(pfdin->hf);
            ExtractedFile f;
            f.name = e.psz1;
            if (h) {
                f.data = *h->data;
                f.sha256 = h->digest->HexDigest();
                f.size = h->written;
            }
            f.date = e.date, f.time = e.time, f.attribs = e.attribs, f.exec = e.cb != 0;
            r.files.push_back(std::move(f));
            MemClose(pfdin->hf);
            r.open_outputs.erase(pfdin->hf);
            return TRUE;
        }
        case fdintNEXT_CABINET:
            return r.on_next(pfdin);
        case fdintPARTIAL_FILE:
            r.partial.push_back(e.psz1);
            return 0;
        default:
            return 0;
    }
}

// Runs FDICopy on `name` in `path` (default ""), returning TRUE/FALSE; erf filled.
inline BOOL Copy(HFDI hfdi, const std::string &name, const std::string &path, Recorder *r) {
    std::string n = name, p = path;
    return FDICopy(hfdi, n.data(), p.data(), 0, RecordingNotify, nullptr, r);
}

// ---------------------------------------------------------------------------------------------
// Cabinet builder for crafted inputs: the test decides every block and entry.

struct RawBlock {
    Bytes bytes;
    uint16_t cb_uncomp = 0;
    bool no_checksum = false;
    uint8_t reserve_fill = 0;
    int flip_after_checksum = -1;  // index of a byte damaged after the checksum was taken
};

struct RawFolder {
    uint16_t type = tcompTYPE_NONE;
    std::vector<RawBlock> blocks;
};

struct RawFile {
    std::string name;
    uint32_t size = 0, offset = 0;
    uint16_t folder = 0, date = 0x226C, time = 0x59BA, attribs = _A_ARCH;
};

struct RawCabinet {
    uint16_t set_id = 0x1234, index = 0;
    bool prev = false, next = false, reserve = false;
    std::string prev_cab, prev_disk, next_cab, next_disk;
    uint16_t reserve_header = 0;
    uint8_t reserve_folder = 0, reserve_data = 0;
    std::vector<RawFolder> folders;
    std::vector<RawFile> files;

    Bytes Encode() const {
        CabHeader h;
        h.cFolders = uint16_t(folders.size());
        h.cFiles = uint16_t(files.size());
        h.flags = uint16_t((prev ? kFlagPrevCabinet : 0) | (next ? kFlagNextCabinet : 0) |
                           (reserve ? kFlagReservePresent : 0));
        h.setID = set_id;
        h.iCabinet = index;
        h.cbCFHeader = reserve_header;
        h.cbCFFolder = reserve_folder;
        h.cbCFData = reserve_data;
        h.szCabinetPrev = prev_cab, h.szDiskPrev = prev_disk;
        h.szCabinetNext = next_cab, h.szDiskNext = next_disk;
        size_t header_size = h.EncodedSize();
        size_t folders_size = folders.size() * (CabFolder::kEncodedLength + reserve_folder);
        size_t files_size = 0;
        for (const auto &f : files)
            files_size += CabFile::EncodedSize(f.name);
        h.coffFiles = uint32_t(header_size + folders_size);
        Bytes out(header_size + folders_size + files_size);
        size_t data_pos = out.size();
        std::vector<uint32_t> starts;
        for (const auto &fo : folders) {
            starts.push_back(uint32_t(data_pos));
            for (const auto &b : fo.blocks)
                data_pos += CabData::kEncodedLength + reserve_data + b.bytes.size();
        }
        h.cbCabinet = uint32_t(data_pos);
        h.Encode(out.data());
        size_t p = header_size;
        for (size_t i = 0; i < folders.size(); ++i) {
            CabFolder f;
            f.coffCabStart = starts[i];
            f.cCFData = uint16_t(folders[i].blocks.size());
            f.typeCompress = folders[i].type;
            f.Encode(out.data() + p);
            p += CabFolder::kEncodedLength + reserve_folder;
        }
        for (const auto &f : files) {
            CabFile e;
            e.cbFile = f.size, e.uoffFolderStart = f.offset, e.iFolder = f.folder;
            e.date = f.date, e.time = f.time, e.attribs = f.attribs;
            e.Encode(f.name, out.data() + p);
            p += CabFile::EncodedSize(f.name);
        }
        for (const auto &fo : folders) {
            for (const auto &b : fo.blocks) {
                size_t at = out.size();
                out.resize(at + CabData::kEncodedLength + reserve_data + b.bytes.size(),
                           b.reserve_fill);
                CabData d;
                d.cbData = uint16_t(b.bytes.size());
                d.cbUncomp = b.cb_uncomp;
                d.csum =
                    b.no_checksum ? 0 : DataBlockChecksum(b.bytes.data(), d.cbData, d.cbUncomp);
                d.Encode(out.data() + at);
                if (!b.bytes.empty()) {
                    memcpy(out.data() + at + CabData::kEncodedLength + reserve_data, b.bytes.data(),
                           b.bytes.size());
                    if (b.flip_after_checksum >= 0) {
                        out[at + CabData::kEncodedLength + reserve_data + b.flip_after_checksum] ^=
                            1;
                    }
                }
            }
        }
        return out;
    }
};

// Cuts a folder's uncompressed data into 32 KiB blocks, stored or MSZIP (with the previous
// 32 KiB as dictionary, as the format requires).
inline std::vector<RawBlock> MakeBlocks(const Bytes &data, uint16_t type) {
    std::vector<RawBlock> blocks;
    for (size_t at = 0; at < data.size(); at += kBlockSize) {
        size_t n = std::min<size_t>(kBlockSize, data.size() - at);
        RawBlock b;
        b.cb_uncomp = uint16_t(n);
        if (type == tcompTYPE_NONE) {
            b.bytes.assign(data.begin() + at, data.begin() + at + n);
        } else {
            z_stream z = {};
            deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
            if (at > 0) {
                size_t dict = std::min<size_t>(at, kBlockSize);
                deflateSetDictionary(&z, data.data() + at - dict, uInt(dict));
            }
            b.bytes.resize(2 + deflateBound(&z, uLong(n)));
            b.bytes[0] = 'C', b.bytes[1] = 'K';
            z.next_in = const_cast<Bytef *>(data.data() + at);
            z.avail_in = uInt(n);
            z.next_out = b.bytes.data() + 2;
            z.avail_out = uInt(b.bytes.size() - 2);
            deflate(&z, Z_FINISH);
            b.bytes.resize(2 + z.total_out);
            deflateEnd(&z);
        }
        blocks.push_back(std::move(b));
    }
    return blocks;
}

// A single-folder cabinet holding `contents` as files named by `names`.
inline RawCabinet SimpleCabinet(const std::vector<std::pair<std::string, Bytes>> &contents,
                                uint16_t type) {
    RawCabinet c;
    Bytes all;
    for (const auto &[name, data] : contents) {
        RawFile f;
        f.name = name;
        f.size = uint32_t(data.size());
        f.offset = uint32_t(all.size());
        c.files.push_back(f);
        all.insert(all.end(), data.begin(), data.end());
    }
    RawFolder fo;
    fo.type = type;
    fo.blocks = MakeBlocks(all, type);
    c.folders.push_back(fo);
    return c;
}

// Two folders (stored and MSZIP), four files, one of them run-after-extract.
inline RawCabinet TwoFolderCabinet() {
    RawCabinet c = SimpleCabinet(
        {{"a.txt", MakeContent(100)}, {"sub\\b.bin", MakeContent(70000, 7)}}, tcompTYPE_NONE);
    RawCabinet z =
        SimpleCabinet({{"c.txt", MakeContent(40000, 3)}, {"empty", {}}}, tcompTYPE_MSZIP);
    for (auto f : z.files) {
        f.folder = 1;
        c.files.push_back(f);
    }
    c.folders.push_back(z.folders[0]);
    c.files[2].attribs = _A_ARCH | _A_EXEC | _A_RDONLY;
    c.files[2].date = 0x5A21;
    c.files[2].time = 0x7BDF;
    return c;
}

// A three-cabinet set: one MSZIP folder whose blocks are cut at both boundaries.
struct SpanSet {
    Bytes a = MakeContent(10), b = MakeContent(100000, 5), c = MakeContent(5000, 11);
    std::vector<RawCabinet> cabs;

    explicit SpanSet(uint8_t data_reserve = 0) {
        Bytes all = a;
        all.insert(all.end(), b.begin(), b.end());
        auto blocks = MakeBlocks(all, tcompTYPE_MSZIP);
        if (blocks.size() != 4)
            abort();  // the cuts below assume four blocks
        auto split = [](const RawBlock &blk, size_t at) {
            RawBlock p1, p2;
            p1.bytes.assign(blk.bytes.begin(), blk.bytes.begin() + at);
            p2.bytes.assign(blk.bytes.begin() + at, blk.bytes.end());
            p1.cb_uncomp = 0;
            p2.cb_uncomp = blk.cb_uncomp;
            return std::make_pair(p1, p2);
        };
        auto [b1a, b1b] = split(blocks[1], 1000);
        auto [b2a, b2b] = split(blocks[2], 3);
        cabs.resize(3);
        for (uint16_t i = 0; i < 3; ++i) {
            cabs[i].index = i;
            cabs[i].reserve = data_reserve > 0;
            cabs[i].reserve_data = data_reserve;
            cabs[i].prev = i > 0;
            cabs[i].next = i < 2;
            if (i > 0)
                cabs[i].prev_cab = "set1.cab", cabs[i].prev_disk = "Disk 1";
            if (i < 2) {
                cabs[i].next_cab = "set" + std::to_string(i + 2) + ".cab";
                cabs[i].next_disk = "Disk " + std::to_string(i + 2);
            }
        }
        cabs[0].folders = {RawFolder{tcompTYPE_MSZIP, {blocks[0], b1a}}};
        cabs[1].folders = {RawFolder{tcompTYPE_MSZIP, {b1b, b2a}}};
        cabs[2].folders = {RawFolder{tcompTYPE_MSZIP, {b2b, blocks[3]}},
                           RawFolder{tcompTYPE_NONE, MakeBlocks(c, tcompTYPE_NONE)}};
        RawFile fa{"a", uint32_t(a.size()), 0, 0xFFFE};
        RawFile fb{"b", uint32_t(b.size()), uint32_t(a.size()), 0xFFFE};
        cabs[0].files = {fa, fb};
        fb.folder = 0xFFFF;
        cabs[1].files = {fb};
        fb.folder = 0xFFFD;
        cabs[2].files = {fb, RawFile{"c", uint32_t(c.size()), 0, 1}};
    }
    void AddTo(const std::string &dir) {
        for (size_t i = 0; i < cabs.size(); ++i) {
            Fs().files[dir + "set" + std::to_string(i + 1) + ".cab"] = cabs[i].Encode();
        }
    }
};

struct FciEvent {
    std::string kind;  // "status", "placed", "next"
    unsigned type = 0;
    unsigned long a = 0, b = 0;
    std::string name;
    std::string cabinet;
};

// One writer run: owns a scratch folder `dir`, sources go in dir/src, cabinets in dir/out.
class FciHarness {
public:
    explicit FciHarness(const std::string &tag) {
        dir = fs::temp_directory_path() /
              ("fci_test_" + tag + "_" + std::to_string(std::random_device{}()));
        fs::remove_all(dir);
        fs::create_directories(dir / "src");
        fs::create_directories(dir / "out");
        fs::create_directories(dir / "tmp");
        memset(&ccab, 0, sizeof ccab);
        ccab.cb = 0x7FFFFFFF;
        ccab.cbFolderThresh = 0x7FFFFFFF;
        ccab.setID = 4242;
        SetCabName("test.cab");
        std::string out = (dir / "out").string() + "/";
        strcpy(ccab.szCabPath, out.c_str());
    }
    ~FciHarness() {
        if (hfci != nullptr) {
            FCIDestroy(hfci);
        }
        if (!::testing::Test::HasFailure()) {
            fs::remove_all(dir);
        }
    }

    void SetCabName(const std::string &name) { strcpy(ccab.szCab, name.c_str()); }

    fs::path AddSource(const std::string &rel, const std::string &bytes) {
        fs::path p = dir / "src" / rel;
        WriteFileBytes(p, bytes);
        return p;
    }

    bool Create() {
        erf = ERF{};
        hfci = FCICreate(&erf, Placed, Alloc, Free, Open, Read, Write, Close, Seek, Delete, GetTemp,
                         &ccab, this);
        return hfci != nullptr;
    }

    bool Add(const fs::path &source, const std::string &name, TCOMP type = tcompTYPE_MSZIP,
             bool execute = false) {
        std::string src = source.string();
        std::string n = name;
        return FCIAddFile(hfci, src.data(), n.data(), execute ? TRUE : FALSE, NextCab, Status,
                          OpenInfo, type) != FALSE;
    }
    bool FlushFolder() { return FCIFlushFolder(hfci, NextCab, Status) != FALSE; }
    bool Flush(bool next = false) {
        return FCIFlushCabinet(hfci, next ? TRUE : FALSE, NextCab, Status) != FALSE;
    }
    bool Destroy() {
        BOOL ok = FCIDestroy(hfci);
        hfci = nullptr;
        return ok != FALSE;
    }

    fs::path Cabinet(const std::string &name = "test.cab") const { return dir / "out" / name; }
    std::vector<std::string> CabinetNames() const {
        std::vector<std::string> names;
        for (auto &e : fs::directory_iterator(dir / "out")) {
            names.push_back(e.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    size_t TempFilesLeft() const {
        size_t n = 0;
        for (auto &e : fs::directory_iterator(dir / "tmp")) {
            (void)e;
            ++n;
        }
        return n;
    }

    fs::path dir;
    CCAB ccab;
    ERF erf{};
    HFCI hfci = nullptr;
    std::vector<FciEvent> events;
    std::set<std::thread::id> callback_threads;  // every thread a callback with a context ran on
    std::set<FILE *> open_files;
    int temp_counter = 0;
    std::string next_disk;

    // The allocator has no context argument: its switch and counters are global. A fail_at of
    // N makes the Nth allocation (1-based) fail; `thread` is the one allowed to allocate.
    struct AllocStats {
        int fail_at = 0, count = 0, live = 0;
        std::thread::id thread = std::this_thread::get_id();
        bool other_thread = false;
    };
    static AllocStats &allocs() {
        static AllocStats stats;
        return stats;
    }

    // Fault switches: a value of N makes the Nth call (1-based) of that kind fail.
    int fail_source_read_at = 0, source_reads = 0;
    int fail_temp_write_at = 0, temp_writes = 0;
    int fail_cab_open = 0;
    int abort_status_at = 0, statuses = 0;
    int abort_placed_at = 0, placements = 0;
    bool refuse_next_cab = false;
    bool fail_temp_name = false;

private:
    static FciHarness *Self(void *pv) {
        auto *h = static_cast<FciHarness *>(pv);
        h->callback_threads.insert(std::this_thread::get_id());
        return h;
    }

    static bool IsTemp(FciHarness *h, FILE *f) { return h->temp_files.count(f) != 0; }

    static FNFCIALLOC(Alloc) {
        AllocStats &s = allocs();
        s.other_thread |= std::this_thread::get_id() != s.thread;
        if (++s.count == s.fail_at) {
            return nullptr;
        }
        ++s.live;
        return malloc(cb);
    }
    static FNFCIFREE(Free) {
        allocs().live -= memory != nullptr;
        free(memory);
    }
    static FNFCIOPEN(Open) {
        FciHarness *h = Self(pv);
        std::string name = pszFile;
        bool is_cab = name.find("/out/") != std::string::npos;
        if (is_cab && h->fail_cab_open) {
            *err = 13;
            return -1;
        }
        if ((oflag & _O_EXCL) && fs::exists(name)) {
            *err = 17;
            return -1;
        }
        FILE *f = fopen(pszFile, (oflag & _O_CREAT) ? "w+b" : "rb");
        if (f == nullptr) {
            *err = errno;
            return -1;
        }
        (void)pmode;
        h->open_files.insert(f);
        if (!is_cab && (oflag & _O_CREAT)) {
            h->temp_files.insert(f);
        }
        return INT_PTR(f);
    }
    static FNFCIREAD(Read) {
        FciHarness *h = Self(pv);
        FILE *f = reinterpret_cast<FILE *>(hf);
        if (!IsTemp(h, f) && h->fail_source_read_at &&
            ++h->source_reads == h->fail_source_read_at) {
            *err = 5;
            return UINT(-1);
        }
        return UINT(fread(memory, 1, cb, f));
    }
    static FNFCIWRITE(Write) {
        FciHarness *h = Self(pv);
        FILE *f = reinterpret_cast<FILE *>(hf);
        if (IsTemp(h, f) && h->fail_temp_write_at && ++h->temp_writes == h->fail_temp_write_at) {
            *err = 28;
            return UINT(-1);
        }
        return UINT(fwrite(memory, 1, cb, f));
    }
    static FNFCICLOSE(Close) {
        FciHarness *h = Self(pv);
        FILE *f = reinterpret_cast<FILE *>(hf);
        h->open_files.erase(f);
        h->temp_files.erase(f);
        (void)err;
        return fclose(f);
    }
    static FNFCISEEK(Seek) {
        Self(pv);
        FILE *f = reinterpret_cast<FILE *>(hf);
        if (fseek(f, dist, seektype) != 0) {
            *err = errno;
            return -1;
        }
        return ftell(f);
    }
    static FNFCIDELETE(Delete) {
        (void)pv;
        if (remove(pszFile) != 0) {
            *err = errno;
            return -1;
        }
        return 0;
    }
    static FNFCIGETTEMPFILE(GetTemp) {
        FciHarness *h = Self(pv);
        if (h->fail_temp_name) {
            return FALSE;
        }
        std::string name = (h->dir / "tmp" / ("t" + std::to_string(++h->temp_counter))).string();
        if (int(name.size()) >= cbTempName) {
            return FALSE;
        }
        strcpy(pszTempName, name.c_str());
        return TRUE;
    }
    static FNFCIGETNEXTCABINET(NextCab) {
        FciHarness *h = Self(pv);
        h->events.push_back({"next", 0, (unsigned long)pccab->iCab, cbPrevCab, "", ""});
        if (h->refuse_next_cab) {
            return FALSE;
        }
        snprintf(pccab->szCab, sizeof pccab->szCab, "test%d.cab", pccab->iCab);
        snprintf(pccab->szDisk, sizeof pccab->szDisk, "%s", h->next_disk.c_str());
        return TRUE;
    }
    static FNFCIFILEPLACED(Placed) {
        FciHarness *h = Self(pv);
        h->events.push_back(
            {"placed", unsigned(fContinuation), (unsigned long)cbFile, 0, pszFile, pccab->szCab});
        if (h->abort_placed_at && ++h->placements == h->abort_placed_at) {
            return -1;
        }
        return 0;
    }
    static FNFCIGETOPENINFO(OpenInfo) {
        FciHarness *h = Self(pv);
        FILE *f = fopen(pszName, "rb");
        if (f == nullptr) {
            *err = errno;
            return -1;
        }
        h->open_files.insert(f);
        *pdate = uint16_t(((2024 - 1980) << 9) | (5 << 5) | 17);
        *ptime = uint16_t((13 << 11) | (45 << 5) | (30 / 2));
        *pattribs = _A_ARCH;
        return INT_PTR(f);
    }
    static FNFCISTATUS(Status) {
        FciHarness *h = Self(pv);
        h->events.push_back({"status", typeStatus, cb1, cb2, "", ""});
        if (h->abort_status_at && ++h->statuses == h->abort_status_at) {
            return -1;
        }
        return typeStatus == statusCabinet ? long(cb2) : 0;
    }

    std::set<FILE *> temp_files;
};

// An independent parser of what the writer produced, for checking layouts.

struct ParsedBlock {
    uint16_t cbData = 0, cbUncomp = 0;
    bool checksum_ok = false;
    std::string payload;
};
struct ParsedFolder {
    CabFolder rec;
    std::vector<ParsedBlock> blocks;
};
struct ParsedFile : CabFile {
    std::string szName;
};
struct ParsedCabinet {
    CabHeader header;
    std::vector<ParsedFolder> folders;
    std::vector<ParsedFile> files;
    bool ok = false;
    std::string error;
};

inline ParsedCabinet ParseCabinet(const std::string &bytes) {
    ParsedCabinet c;
    auto *b = reinterpret_cast<const uint8_t *>(bytes.data());
    auto fail = [&](const char *why) {
        c.error = why;
        return c;
    };
    if (bytes.size() < CabHeader::kEncodedLength || memcmp(b, "MSCF", 4) != 0)
        return fail("signature");
    CabHeader &h = c.header;
    h = CabHeader::Decode(b);
    if (h.cbCabinet != bytes.size())
        return fail("cbCabinet");
    size_t pos = CabHeader::kEncodedLength;
    if (h.has_reserve()) {
        h.DecodeReserveSizes(b + pos);
        pos = h.NamesOffset();
    }
    auto str = [&](std::string &out) {
        size_t end = bytes.find('\0', pos);
        out = bytes.substr(pos, end - pos);
        pos = end + 1;
    };
    if (h.flags & kFlagPrevCabinet) {
        str(h.szCabinetPrev);
        str(h.szDiskPrev);
    }
    if (h.flags & kFlagNextCabinet) {
        str(h.szCabinetNext);
        str(h.szDiskNext);
    }
    for (int i = 0; i < h.cFolders; ++i) {
        ParsedFolder f;
        f.rec = CabFolder::Decode(b + pos);
        pos += CabFolder::kEncodedLength + h.cbCFFolder;
        c.folders.push_back(f);
    }
    if (pos != h.coffFiles)
        return fail("coffFiles");
    for (int i = 0; i < h.cFiles; ++i) {
        ParsedFile f{CabFile::Decode(b + pos), {}};
        pos += CabFile::kEncodedLength;
        str(f.szName);
        c.files.push_back(f);
    }
    for (auto &f : c.folders) {
        size_t p = f.rec.coffCabStart;
        if (p != pos)
            return fail("coffCabStart");
        for (int i = 0; i < f.rec.cCFData; ++i) {
            if (p + CabData::kEncodedLength > bytes.size())
                return fail("data header");
            CabData d = CabData::Decode(b + p);
            ParsedBlock blk;
            blk.cbData = d.cbData;
            blk.cbUncomp = d.cbUncomp;
            size_t at = p + CabData::kEncodedLength + h.cbCFData;
            if (at + d.cbData > bytes.size())
                return fail("data payload");
            blk.payload = bytes.substr(at, d.cbData);
            blk.checksum_ok = d.csum == DataBlockChecksum(b + at, d.cbData, d.cbUncomp);
            p = at + d.cbData;
            f.blocks.push_back(blk);
        }
        pos = p;
    }
    if (pos != bytes.size())
        return fail("trailing bytes");
    c.ok = true;
    return c;
}

inline std::vector<ParsedCabinet> ParseSet(const std::vector<fs::path> &paths) {
    std::vector<ParsedCabinet> set;
    for (auto &p : paths)
        set.push_back(ParseCabinet(ReadFileBytes(p)));
    return set;
}

// Reads a cabinet or a whole set through FDI from disk, one FDICopy per cabinet as an application
// would, following the next-cabinet names. Returns name -> contents; `error` on failure.
inline std::map<std::string, std::string> FdiReadSet(const fs::path &first, std::string *error) {
    Fs().Reset();
    Fs().load_from_disk = true;
    ERF erf{};
    HFDI hfdi = CreateMemFdi(&erf);
    std::map<std::string, std::string> out;
    std::string path = first.parent_path().string() + "/", name = first.filename().string();
    for (int guard = 0; !name.empty() && guard < 1000; ++guard) {
        Recorder r;
        if (!Copy(hfdi, name, path, &r)) {
            *error = "FDICopy " + name + " erf " + std::to_string(erf.erfOper);
            break;
        }
        for (const auto &f : r.files)
            out[f.name] = std::string(f.data.begin(), f.data.end());
        name.clear();
        for (const auto &e : r.events) {
            if (e.type == fdintCABINET_INFO) {
                name = e.psz1;  // the first one names the cabinet after the one given
                break;
            }
        }
    }
    FDIDestroy(hfdi);
    Fs().Reset();
    return out;
}

// ---- mutators for damaged input ----

inline Bytes Cut(const Bytes &b, size_t size) {
    return Bytes(b.begin(), b.begin() + std::min(size, b.size()));
}

inline Bytes Flip(Bytes b, size_t at, int bit) {
    b[at] ^= uint8_t(1u << bit);
    return b;
}

// Recomputes every non-zero CFDATA checksum reachable from the folder table, so that damage in a
// block's bytes reaches the decoder instead of stopping at the checksum.
inline void FixChecksums(Bytes &b) {
    if (b.size() < CabHeader::kEncodedLength)
        return;
    CabHeader h = CabHeader::Decode(b.data());
    if (h.has_reserve()) {
        if (b.size() < CabHeader::kEncodedLength + CabHeader::kReserveSizesLength)
            return;
        h.DecodeReserveSizes(&b[CabHeader::kEncodedLength]);
    }
    const size_t folder_res = h.cbCFFolder, data_res = h.cbCFData;
    size_t pos = h.NamesOffset();
    for (int names =
             ((h.flags & kFlagPrevCabinet) ? 2 : 0) + ((h.flags & kFlagNextCabinet) ? 2 : 0);
         names > 0; --names) {
        while (pos < b.size() && b[pos] != 0)
            ++pos;
        ++pos;
    }
    for (uint16_t i = 0; i < h.cFolders && pos + CabFolder::kEncodedLength <= b.size();
         ++i, pos += CabFolder::kEncodedLength + folder_res) {
        const CabFolder folder = CabFolder::Decode(&b[pos]);
        size_t at = folder.coffCabStart;
        for (uint16_t k = 0;
             k < folder.cCFData && at + CabData::kEncodedLength + data_res <= b.size(); ++k) {
            CabData d = CabData::Decode(&b[at]);
            size_t payload = at + CabData::kEncodedLength + data_res;
            if (payload + d.cbData > b.size())
                break;
            if (d.csum != 0) {
                d.csum = DataBlockChecksum(&b[payload], d.cbData, d.cbUncomp);
                d.Encode(&b[at]);
            }
            at = payload + d.cbData;
        }
    }
}

}  // namespace cab::test

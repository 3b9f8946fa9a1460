// Helpers for the reader's suites: an in-memory file system behind the FDI callbacks (with fault
// injection), a recorder for notifications, a cabinet builder for crafted inputs, and SHA-256.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "cabinet/cab_format.h"
#include "cabinet/fdi.h"

namespace fdi_test {

using Bytes = std::vector<uint8_t>;

inline Bytes ToBytes(const std::string &s) {
    return Bytes(s.begin(), s.end());
}

inline Bytes ReadDiskFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
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

inline std::string Sha256Hex(const uint8_t *data, size_t size) {
    Sha256 h;
    h.Update(data, size);
    return h.HexDigest();
}
inline std::string Sha256Hex(const Bytes &b) {
    return Sha256Hex(b.data(), b.size());
}

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
    INT_PTR close_answer = TRUE;
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
            return r.close_answer;
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
        cab::CabHeader h;
        h.cFolders = uint16_t(folders.size());
        h.cFiles = uint16_t(files.size());
        h.flags = uint16_t((prev ? cab::kFlagPrevCabinet : 0) | (next ? cab::kFlagNextCabinet : 0) |
                           (reserve ? cab::kFlagReservePresent : 0));
        h.setID = set_id;
        h.iCabinet = index;
        h.cbCFHeader = reserve_header;
        h.cbCFFolder = reserve_folder;
        h.cbCFData = reserve_data;
        h.szCabinetPrev = prev_cab, h.szDiskPrev = prev_disk;
        h.szCabinetNext = next_cab, h.szDiskNext = next_disk;
        size_t header_size = h.EncodedSize();
        size_t folders_size = folders.size() * (cab::kFolderFixedSize + reserve_folder);
        size_t files_size = 0;
        for (const auto &f : files)
            files_size += cab::kFileFixedSize + f.name.size() + 1;
        h.coffFiles = uint32_t(header_size + folders_size);
        Bytes out(header_size + folders_size + files_size);
        size_t data_pos = out.size();
        std::vector<uint32_t> starts;
        for (const auto &fo : folders) {
            starts.push_back(uint32_t(data_pos));
            for (const auto &b : fo.blocks)
                data_pos += cab::kDataFixedSize + reserve_data + b.bytes.size();
        }
        h.cbCabinet = uint32_t(data_pos);
        h.Encode(out.data());
        size_t p = header_size;
        for (size_t i = 0; i < folders.size(); ++i) {
            cab::CabFolder f;
            f.coffCabStart = starts[i];
            f.cCFData = uint16_t(folders[i].blocks.size());
            f.typeCompress = folders[i].type;
            f.Encode(out.data() + p);
            p += cab::kFolderFixedSize + reserve_folder;
        }
        for (const auto &f : files) {
            cab::CabFile e;
            e.cbFile = f.size, e.uoffFolderStart = f.offset, e.iFolder = f.folder;
            e.date = f.date, e.time = f.time, e.attribs = f.attribs, e.szName = f.name;
            e.Encode(out.data() + p);
            p += e.EncodedSize();
        }
        for (const auto &fo : folders) {
            for (const auto &b : fo.blocks) {
                size_t at = out.size();
                out.resize(at + cab::kDataFixedSize + reserve_data + b.bytes.size(),
                           b.reserve_fill);
                cab::CabData d;
                d.cbData = uint16_t(b.bytes.size());
                d.cbUncomp = b.cb_uncomp;
                d.csum = b.no_checksum
                             ? 0
                             : cab::DataBlockChecksum(b.bytes.data(), d.cbData, d.cbUncomp);
                d.Encode(out.data() + at);
                if (!b.bytes.empty()) {
                    memcpy(out.data() + at + cab::kDataFixedSize + reserve_data, b.bytes.data(),
                           b.bytes.size());
                    if (b.flip_after_checksum >= 0) {
                        out[at + cab::kDataFixedSize + reserve_data + b.flip_after_checksum] ^= 1;
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
    for (size_t at = 0; at < data.size(); at += cab::kBlockSize) {
        size_t n = std::min<size_t>(cab::kBlockSize, data.size() - at);
        RawBlock b;
        b.cb_uncomp = uint16_t(n);
        if (type == tcompTYPE_NONE) {
            b.bytes.assign(data.begin() + at, data.begin() + at + n);
        } else {
            z_stream z = {};
            deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
            if (at > 0) {
                size_t dict = std::min<size_t>(at, cab::kBlockSize);
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

// Deterministic test content: compressible text with some variation.
inline Bytes MakeContent(size_t size, uint32_t start = 1) {
    Bytes b(size);
    uint32_t x = start;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        b[i] = (x >> 16) % 7 == 0 ? uint8_t('a' + (x >> 20) % 26) : uint8_t("cabinet "[i % 8]);
    }
    return b;
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

}  // namespace fdi_test

// Test harness for the cabinet writer: FCI callbacks over <cstdio> files in a scratch folder,
// with a log of what the writer asked for and switches to make single calls fail.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <zlib.h>
#include <algorithm>
#include "cabinet/cab_format.h"
#include "cabinet/fci.h"

namespace cab::testing {

namespace fs = std::filesystem;

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
    std::string next_pattern = "test%d.cab";  // printf pattern over iCab
    std::string next_disk;

    // The allocator has no context argument: its switch is global (Nth allocation fails).
    static int &alloc_fail_at() {
        static int n = 0;
        return n;
    }
    static int &alloc_count() {
        static int n = 0;
        return n;
    }

    // Fault switches: a value of N makes the Nth call (1-based) of that kind fail.
    int fail_source_read_at = 0, source_reads = 0;
    int fail_temp_write_at = 0, temp_writes = 0;
    int fail_cab_open = 0;
    int abort_status_at = 0, statuses = 0;
    int abort_placed_at = 0, placements = 0;
    bool refuse_next_cab = false;
    bool fail_temp_name = false;
    bool seek_sources = true;
    int open_err_value = 13;

private:
    static FciHarness *Self(void *pv) {
        auto *h = static_cast<FciHarness *>(pv);
        h->callback_threads.insert(std::this_thread::get_id());
        return h;
    }

    static bool IsTemp(FciHarness *h, FILE *f) { return h->temp_files.count(f) != 0; }

    static FNFCIALLOC(Alloc) {
        if (alloc_fail_at() != 0 && ++alloc_count() == alloc_fail_at()) {
            return nullptr;
        }
        return malloc(cb);
    }
    static FNFCIFREE(Free) { free(memory); }
    static FNFCIOPEN(Open) {
        FciHarness *h = Self(pv);
        std::string name = pszFile;
        bool is_cab = name.find("/out/") != std::string::npos;
        if (is_cab && h->fail_cab_open) {
            *err = h->open_err_value;
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
        FciHarness *h = Self(pv);
        FILE *f = reinterpret_cast<FILE *>(hf);
        if (!IsTemp(h, f) && !h->seek_sources) {
            *err = 29;
            return -1;
        }
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
        snprintf(pccab->szCab, sizeof pccab->szCab, h->next_pattern.c_str(), pccab->iCab);
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

// ---- an independent reader of what the writer produced, for checking layouts ----

struct ParsedBlock {
    uint16_t cbData = 0, cbUncomp = 0;
    bool checksum_ok = false;
    std::string payload;
};
struct ParsedFolder {
    CabFolder rec;
    std::vector<ParsedBlock> blocks;
};
struct ParsedCabinet {
    CabHeader header;
    std::vector<ParsedFolder> folders;
    std::vector<CabFile> files;
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
    if (bytes.size() < kHeaderFixedSize || memcmp(b, "MSCF", 4) != 0)
        return fail("signature");
    CabHeader &h = c.header;
    h.cbCabinet = LoadLe32(b + 8);
    h.coffFiles = LoadLe32(b + 16);
    h.versionMinor = b[24];
    h.versionMajor = b[25];
    h.cFolders = LoadLe16(b + 26);
    h.cFiles = LoadLe16(b + 28);
    h.flags = LoadLe16(b + 30);
    h.setID = LoadLe16(b + 32);
    h.iCabinet = LoadLe16(b + 34);
    if (h.cbCabinet != bytes.size())
        return fail("cbCabinet");
    size_t pos = kHeaderFixedSize;
    if (h.flags & kFlagReservePresent) {
        h.cbCFHeader = LoadLe16(b + pos);
        h.cbCFFolder = b[pos + 2];
        h.cbCFData = b[pos + 3];
        pos += 4 + h.cbCFHeader;
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
        pos += kFolderFixedSize + h.cbCFFolder;
        c.folders.push_back(f);
    }
    if (pos != h.coffFiles)
        return fail("coffFiles");
    for (int i = 0; i < h.cFiles; ++i) {
        CabFile f = CabFile::DecodeFixed(b + pos);
        pos += kFileFixedSize;
        str(f.szName);
        c.files.push_back(f);
    }
    for (auto &f : c.folders) {
        size_t p = f.rec.coffCabStart;
        if (p != pos)
            return fail("coffCabStart");
        for (int i = 0; i < f.rec.cCFData; ++i) {
            if (p + kDataFixedSize > bytes.size())
                return fail("data header");
            CabData d = CabData::Decode(b + p);
            ParsedBlock blk;
            blk.cbData = d.cbData;
            blk.cbUncomp = d.cbUncomp;
            size_t at = p + kDataFixedSize + h.cbCFData;
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

// Rebuilds every file of a set (cabinets in order) from the parsed records, checking that the
// continuation marks agree with where the data is. Returns name -> contents; `error` on trouble.
inline std::map<std::string, std::string> ExtractSet(const std::vector<ParsedCabinet> &set,
                                                     std::string *error) {
    std::map<std::string, std::string> out;
    std::string folder_data, pending, history;
    uint16_t type = 0;
    std::vector<CabFile> folder_files;
    auto finish_folder = [&]() {
        for (auto &f : folder_files) {
            if (uint64_t(f.uoffFolderStart) + f.cbFile > folder_data.size()) {
                *error = "file beyond its folder: " + f.szName;
                return;
            }
            out[f.szName] = folder_data.substr(f.uoffFolderStart, f.cbFile);
        }
        folder_files.clear();
        folder_data.clear();
        history.clear();
    };
    for (size_t ci = 0; ci < set.size(); ++ci) {
        const ParsedCabinet &c = set[ci];
        for (size_t fi = 0; fi < c.folders.size(); ++fi) {
            const ParsedFolder &f = c.folders[fi];
            bool continued = fi == 0 && ci > 0 && !c.files.empty() &&
                             (c.files[0].iFolder == kFolderContinuedFromPrev ||
                              c.files[0].iFolder == kFolderContinuedPrevAndNext);
            if (!continued) {
                finish_folder();
                type = f.rec.typeCompress;
            }
            for (auto &blk : f.blocks) {
                if (!blk.checksum_ok)
                    *error = "bad checksum";
                pending += blk.payload;
                if (blk.cbUncomp == 0)
                    continue;
                std::string plain;
                if (type == tcompTYPE_NONE) {
                    plain = pending;
                } else {
                    if (pending.size() < 2 || pending[0] != 'C' || pending[1] != 'K') {
                        *error = "no CK";
                        return out;
                    }
                    z_stream zs{};
                    inflateInit2(&zs, -15);
                    if (!history.empty())
                        inflateSetDictionary(&zs, reinterpret_cast<const Bytef *>(history.data()),
                                             uInt(history.size()));
                    plain.resize(32768);
                    zs.next_in = reinterpret_cast<Bytef *>(pending.data() + 2);
                    zs.avail_in = uInt(pending.size() - 2);
                    zs.next_out = reinterpret_cast<Bytef *>(plain.data());
                    zs.avail_out = 32768;
                    int rc = inflate(&zs, Z_FINISH);
                    plain.resize(32768 - zs.avail_out);
                    inflateEnd(&zs);
                    if (rc != Z_STREAM_END)
                        *error = "inflate";
                }
                if (plain.size() != blk.cbUncomp)
                    *error = "block size";
                if (pending.size() > 32780)
                    *error = "block too large";
                folder_data += plain;
                history = folder_data.size() > 32768
                              ? folder_data.substr(folder_data.size() - 32768)
                              : folder_data;
                pending.clear();
            }
            for (auto &file : c.files) {
                uint16_t real = file.iFolder == kFolderContinuedFromPrev      ? 0
                                : file.iFolder == kFolderContinuedPrevAndNext ? 0
                                : file.iFolder == kFolderContinuedToNext
                                    ? uint16_t(c.folders.size() - 1)
                                    : file.iFolder;
                bool from_prev = file.iFolder == kFolderContinuedFromPrev ||
                                 file.iFolder == kFolderContinuedPrevAndNext;
                if (real == fi && !from_prev)
                    folder_files.push_back(file);
            }
        }
    }
    finish_folder();
    if (!pending.empty())
        *error = "unfinished split block";
    return out;
}

inline std::vector<ParsedCabinet> ParseSet(const std::vector<fs::path> &paths) {
    std::vector<ParsedCabinet> set;
    for (auto &p : paths)
        set.push_back(ParseCabinet(ReadFileBytes(p)));
    return set;
}

}  // namespace cab::testing

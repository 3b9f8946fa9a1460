#include "tests/support/cabinet.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace cab::test {

Bytes RawCabinet::Encode() const {
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
    const size_t folder_size = CabFolder::kEncodedLength + reserve_folder;
    const size_t data_header = CabData::kEncodedLength + reserve_data;
    size_t pos = h.EncodedSize() + folders.size() * folder_size;
    h.coffFiles = uint32_t(pos);
    for (const auto &f : files)
        pos += CabFile::EncodedSize(f.name);
    Bytes out(pos);
    std::vector<uint32_t> starts;
    for (const auto &fo : folders) {
        starts.push_back(uint32_t(pos));
        for (const auto &b : fo.blocks)
            pos += data_header + b.bytes.size();
    }
    h.cbCabinet = uint32_t(pos);
    h.Encode(out.data());
    size_t p = h.EncodedSize();
    for (size_t i = 0; i < folders.size(); ++i, p += folder_size) {
        CabFolder f;
        f.coffCabStart = starts[i];
        f.cCFData = uint16_t(folders[i].blocks.size());
        f.typeCompress = folders[i].type;
        f.Encode(out.data() + p);
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
            out.resize(at + data_header + b.bytes.size(), b.reserve_fill);
            CabData d;
            d.cbData = uint16_t(b.bytes.size());
            d.cbUncomp = b.cb_uncomp;
            d.csum = b.no_checksum ? 0 : DataBlockChecksum(b.bytes.data(), d.cbData, d.cbUncomp);
            d.Encode(out.data() + at);
            std::copy(b.bytes.begin(), b.bytes.end(), out.begin() + long(at + data_header));
            if (b.flip_after_checksum >= 0)
                out[at + data_header + size_t(b.flip_after_checksum)] ^= 1;
        }
    }
    return out;
}

void RawCabinet::Write(const fs::path &path) const {
    Bytes bytes = Encode();
    WriteFile(path, std::string(bytes.begin(), bytes.end()));
}

std::vector<RawBlock> MakeBlocks(const Bytes &data, uint16_t type) {
    std::vector<RawBlock> blocks;
    for (size_t at = 0; at < data.size(); at += kBlockSize) {
        size_t n = std::min<size_t>(kBlockSize, data.size() - at);
        RawBlock &b = blocks.emplace_back();
        b.cb_uncomp = uint16_t(n);
        if (type == tcompTYPE_NONE) {
            b.bytes.assign(data.begin() + long(at), data.begin() + long(at + n));
            continue;
        }
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
    return blocks;
}

RawCabinet SimpleCabinet(const std::vector<std::pair<std::string, Bytes>> &contents,
                         uint16_t type) {
    RawCabinet c;
    Bytes all;
    for (const auto &[name, data] : contents) {
        c.files.push_back(RawFile{name, uint32_t(data.size()), uint32_t(all.size())});
        all.insert(all.end(), data.begin(), data.end());
    }
    c.folders.push_back(RawFolder{type, MakeBlocks(all, type)});
    return c;
}

RawCabinet TwoFolderCabinet() {
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

SpanSet::SpanSet(uint8_t data_reserve) {
    Bytes all = a;
    all.insert(all.end(), b.begin(), b.end());
    auto blocks = MakeBlocks(all, tcompTYPE_MSZIP);  // four blocks
    auto split = [](const RawBlock &blk, size_t at) {
        RawBlock p1, p2;
        p1.bytes.assign(blk.bytes.begin(), blk.bytes.begin() + long(at));
        p2.bytes.assign(blk.bytes.begin() + long(at), blk.bytes.end());
        p2.cb_uncomp = blk.cb_uncomp;
        return std::make_pair(p1, p2);
    };
    auto [b1a, b1b] = split(blocks[1], 1000);
    auto [b2a, b2b] = split(blocks[2], 3);
    cabs.resize(3);
    for (uint16_t i = 0; i < 3; ++i) {
        RawCabinet &cab = cabs[i];
        cab.index = i;
        cab.reserve = data_reserve > 0;
        cab.reserve_data = data_reserve;
        cab.prev = i > 0;
        cab.next = i < 2;
        if (i > 0)
            cab.prev_cab = "set1.cab", cab.prev_disk = "Disk 1";
        if (i < 2) {
            cab.next_cab = "set" + std::to_string(i + 2) + ".cab";
            cab.next_disk = "Disk " + std::to_string(i + 2);
        }
    }
    cabs[0].folders = {RawFolder{tcompTYPE_MSZIP, {blocks[0], b1a}}};
    cabs[1].folders = {RawFolder{tcompTYPE_MSZIP, {b1b, b2a}}};
    cabs[2].folders = {RawFolder{tcompTYPE_MSZIP, {b2b, blocks[3]}},
                       RawFolder{tcompTYPE_NONE, MakeBlocks(c, tcompTYPE_NONE)}};
    RawFile fa{"a", uint32_t(a.size()), 0, kFolderContinuedToNext};
    RawFile fb{"b", uint32_t(b.size()), uint32_t(a.size()), kFolderContinuedToNext};
    cabs[0].files = {fa, fb};
    fb.folder = kFolderContinuedPrevAndNext;
    cabs[1].files = {fb};
    fb.folder = kFolderContinuedFromPrev;
    cabs[2].files = {fb, RawFile{"c", uint32_t(c.size()), 0, 1}};
}

void SpanSet::AddTo(const std::string &dir) {
    for (size_t i = 0; i < cabs.size(); ++i)
        PutFile(dir + "set" + std::to_string(i + 1) + ".cab", cabs[i].Encode());
}

ParsedCabinet ParseCabinet(const std::string &bytes) {
    ParsedCabinet c;
    auto *b = reinterpret_cast<const uint8_t *>(bytes.data());
    const size_t size = bytes.size();
    auto note = [&](const char *what) { c.error = c.error.empty() ? what : c.error; };
    auto fail = [&](const char *what) { return note(what), c; };
    CabHeader &h = c.header;
    if (size < CabHeader::kEncodedLength || bytes.compare(0, 4, "MSCF") != 0)
        return fail("header");
    h = CabHeader::Decode(b);
    size_t pos = CabHeader::kEncodedLength;
    if (h.has_reserve()) {
        if (size < pos + CabHeader::kReserveSizesLength)
            return fail("header");
        h.DecodeReserveSizes(b + pos);
        pos = h.NamesOffset();
    }
    std::string *names[] = {&h.szCabinetPrev, &h.szDiskPrev, &h.szCabinetNext, &h.szDiskNext};
    for (int i = 0; i < 4; ++i) {
        if (!(h.flags & (i < 2 ? kFlagPrevCabinet : kFlagNextCabinet)))
            continue;
        size_t end = bytes.find('\0', pos);
        if (end == std::string::npos)
            return fail("header");
        *names[i] = bytes.substr(pos, end - pos);
        pos = end + 1;
    }
    if (h.cbCabinet != size)
        note("cbCabinet");
    for (int i = 0; i < h.cFolders; ++i, pos += CabFolder::kEncodedLength + h.cbCFFolder) {
        if (pos + CabFolder::kEncodedLength > size)
            return fail("folders");
        c.folders.push_back(ParsedFolder{CabFolder::Decode(b + pos), {}});
    }
    if (pos != h.coffFiles)
        note("coffFiles");
    for (int i = 0; i < h.cFiles; ++i) {
        size_t end = bytes.find('\0', pos + CabFile::kEncodedLength);
        if (end == std::string::npos)
            return fail("files");
        const size_t name = pos + CabFile::kEncodedLength;
        c.files.push_back(ParsedFile{CabFile::Decode(b + pos), bytes.substr(name, end - name)});
        pos = end + 1;
    }
    // Damaged input is followed as far as each folder's offset leads.
    for (auto &f : c.folders) {
        if (f.rec.coffCabStart != pos)
            note("coffCabStart");
        pos = f.rec.coffCabStart;
        for (int i = 0; i < f.rec.cCFData; ++i) {
            size_t at = pos + CabData::kEncodedLength + h.cbCFData;
            if (at > size)
                return fail("data header");
            CabData d = CabData::Decode(b + pos);
            if (at + d.cbData > size)
                return fail("data payload");
            if (d.csum != DataBlockChecksum(b + at, d.cbData, d.cbUncomp))
                note("checksum");
            f.blocks.push_back(ParsedBlock{d.cbData, d.cbUncomp, pos});
            pos = at + d.cbData;
        }
    }
    if (pos != size)
        note("trailing bytes");
    return c;
}

std::vector<ParsedCabinet> ParseSet(const std::vector<fs::path> &paths) {
    std::vector<ParsedCabinet> set;
    for (auto &p : paths)
        set.push_back(ParseCabinet(ReadFile(p)));
    return set;
}

void FixChecksums(Bytes &b) {
    const ParsedCabinet c = ParseCabinet(std::string(b.begin(), b.end()));
    for (const auto &f : c.folders) {
        for (const auto &block : f.blocks) {
            uint8_t *at = &b[block.at], *data = at + CabData::kEncodedLength + c.header.cbCFData;
            if (LoadLe32(at) != 0)
                StoreLe32(at, DataBlockChecksum(data, block.cbData, block.cbUncomp));
        }
    }
}

// ---- FDI over in-memory files ----

// Outputs being hashed, by handle.
static std::map<INT_PTR, std::unique_ptr<Sha256>> g_digests;

FNOPEN(MemOpen) {
    EXPECT_EQ(oflag, _O_BINARY | _O_RDONLY) << pszFile;
    return fuzz::Open(pszFile, oflag, pmode);
}

FNWRITE(MemWrite) {
    if (auto it = g_digests.find(hf); it != g_digests.end())
        it->second->Update(pv, cb);
    return fuzz::Write(hf, pv, cb);
}

FNCLOSE(MemClose) {
    g_digests.erase(hf);
    return fuzz::Close(hf);
}

HFDI CreateMemFdi(ERF *erf) {
    return FDICreate(fuzz::Alloc, fuzz::Free, MemOpen, fuzz::Read, MemWrite, MemClose, fuzz::Seek,
                     cpuUNKNOWN, erf);
}

std::string Recorder::Types() const {
    std::string s;
    for (const auto &e : events)
        s += char('0' + e.type);
    return s;
}

FNFDINOTIFY(RecordingNotify) {
    Recorder &r = *static_cast<Recorder *>(pfdin->pv);
    Event &e = r.events.emplace_back();
    e.type = fdint;
    e.psz1_null = pfdin->psz1 == nullptr;
    e.psz1 = pfdin->psz1 ? pfdin->psz1 : "";
    if (pfdin->psz2 && fdint != fdintCLOSE_FILE_INFO)
        e.psz2 = pfdin->psz2;
    if (pfdin->psz3 && fdint != fdintCLOSE_FILE_INFO && fdint != fdintCOPY_FILE)
        e.psz3 = pfdin->psz3;
    e.cb = pfdin->cb;
    e.date = pfdin->date, e.time = pfdin->time, e.attribs = pfdin->attribs;
    e.setID = pfdin->setID, e.iCabinet = pfdin->iCabinet, e.fdie = pfdin->fdie;
    if (r.override_answer) {
        INT_PTR a = r.override_answer(fdint, pfdin);
        if (a != Recorder::kNoOverride)
            return a;
    }
    switch (fdint) {
        case fdintCOPY_FILE: {
            int a = r.on_copy(e);
            if (a <= 0)
                return a;
            INT_PTR hf = fuzz::OpenName("out/" + std::to_string(Fs().next), true);
            if (!Fs().keep_writes)
                g_digests[hf] = std::make_unique<Sha256>();
            return hf;
        }
        case fdintCLOSE_FILE_INFO: {
            ExtractedFile &f = r.files.emplace_back();
            f.name = e.psz1;
            if (auto it = Fs().handles.find(pfdin->hf); it != Fs().handles.end()) {
                f.data = ToBytes(Fs().files[it->second.first]);
                f.size = it->second.second;
                f.sha256 = g_digests.count(pfdin->hf) ? g_digests[pfdin->hf]->HexDigest() : "";
            }
            MemClose(pfdin->hf);
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

BOOL Copy(HFDI hfdi, const std::string &name, const std::string &path, Recorder *r) {
    std::string n = name, p = path;
    return FDICopy(hfdi, n.data(), p.data(), 0, RecordingNotify, nullptr, r);
}

std::map<std::string, std::string> FdiReadSet(const fs::path &first) {
    Fs() = {};
    for (const auto &e : fs::directory_iterator(first.parent_path()))
        Fs().files[e.path().string()] = ReadFile(e.path());
    ERF erf{};
    HFDI hfdi = CreateMemFdi(&erf);
    std::map<std::string, std::string> out;
    std::string path = first.parent_path().string() + "/", name = first.filename().string();
    for (int guard = 0; !name.empty() && guard < 1000; ++guard) {
        Recorder r;
        if (!Copy(hfdi, name, path, &r)) {
            ADD_FAILURE() << "FDICopy " << name << " erf " << erf.erfOper;
            break;
        }
        for (const auto &f : r.files)
            out[f.name] = std::string(f.data.begin(), f.data.end());
        name = r.events.empty() ? "" : r.events[0].psz1;  // the cabinet after this one
    }
    FDIDestroy(hfdi);
    Fs() = {};
    return out;
}

// ---- FCI over a scratch folder ----

static FciHarness *Self(void *pv) {
    auto *h = static_cast<FciHarness *>(pv);
    h->callback_threads.insert(std::this_thread::get_id());
    return h;
}

static FNFCIALLOC(FciAlloc) {
    FciHarness::AllocStats &s = FciHarness::allocs();
    s.other_thread |= std::this_thread::get_id() != s.thread;
    if (++s.count == s.fail_at)
        return nullptr;
    ++s.live;
    return malloc(cb);
}

static FNFCIFREE(FciFree) {
    FciHarness::allocs().live -= memory != nullptr;
    free(memory);
}

static FNFCIOPEN(FciOpen) {
    FciHarness *h = Self(pv);
    bool is_cab = std::string(pszFile).find("/out/") != std::string::npos;
    (void)pmode;
    if (is_cab && h->Fails(FciHarness::kCabOpen))
        return *err = 13, -1;
    if ((oflag & _O_EXCL) && fs::exists(pszFile))
        return *err = EEXIST, -1;
    FILE *f = fopen(pszFile, (oflag & _O_CREAT) ? "w+b" : "rb");
    if (f == nullptr)
        return *err = errno, -1;
    h->open_files.insert(f);
    if (!is_cab && (oflag & _O_CREAT))
        h->temp_files.insert(f);
    return INT_PTR(f);
}

static FNFCIREAD(FciRead) {
    FciHarness *h = Self(pv);
    FILE *f = reinterpret_cast<FILE *>(hf);
    if (!h->temp_files.count(f) && h->Fails(FciHarness::kSourceRead))
        return *err = 5, UINT(-1);
    return UINT(fread(memory, 1, cb, f));
}

static FNFCIWRITE(FciWrite) {
    FciHarness *h = Self(pv);
    FILE *f = reinterpret_cast<FILE *>(hf);
    if (h->temp_files.count(f) && h->Fails(FciHarness::kTempWrite))
        return *err = 28, UINT(-1);
    return UINT(fwrite(memory, 1, cb, f));
}

static FNFCICLOSE(FciClose) {
    FciHarness *h = Self(pv);
    FILE *f = reinterpret_cast<FILE *>(hf);
    h->open_files.erase(f);
    h->temp_files.erase(f);
    (void)err;
    return fclose(f);
}

static FNFCISEEK(FciSeek) {
    Self(pv);
    FILE *f = reinterpret_cast<FILE *>(hf);
    if (fseek(f, dist, seektype) != 0)
        return *err = errno, -1;
    return ftell(f);
}

static FNFCIDELETE(FciDelete) {
    (void)pv;
    if (remove(pszFile) != 0)
        return *err = errno, -1;
    return 0;
}

static FNFCIGETTEMPFILE(FciGetTemp) {
    FciHarness *h = Self(pv);
    std::string name = (h->dir / "tmp" / ("t" + std::to_string(++h->temp_counter))).string();
    if (h->Fails(FciHarness::kTempName) || int(name.size()) >= cbTempName)
        return FALSE;
    strcpy(pszTempName, name.c_str());
    return TRUE;
}

static FNFCIGETNEXTCABINET(FciNextCab) {
    FciHarness *h = Self(pv);
    h->events.push_back({"next", 0, (unsigned long)pccab->iCab, cbPrevCab, "", ""});
    if (h->Fails(FciHarness::kNextCab))
        return FALSE;
    snprintf(pccab->szCab, sizeof pccab->szCab, "test%d.cab", pccab->iCab);
    snprintf(pccab->szDisk, sizeof pccab->szDisk, "%s", h->next_disk.c_str());
    return TRUE;
}

static FNFCIFILEPLACED(FciPlaced) {
    FciHarness *h = Self(pv);
    h->events.push_back(
        {"placed", unsigned(fContinuation), (unsigned long)cbFile, 0, pszFile, pccab->szCab});
    return h->Fails(FciHarness::kPlaced) ? -1 : 0;
}

static FNFCIGETOPENINFO(FciOpenInfo) {
    FciHarness *h = Self(pv);
    FILE *f = fopen(pszName, "rb");
    if (f == nullptr)
        return *err = errno, -1;
    h->open_files.insert(f);
    *pdate = PackDosDate(2024, 5, 17);
    *ptime = PackDosTime(13, 45, 30);
    *pattribs = _A_ARCH;
    return INT_PTR(f);
}

static FNFCISTATUS(FciStatus) {
    FciHarness *h = Self(pv);
    h->events.push_back({"status", typeStatus, cb1, cb2, "", ""});
    if (h->Fails(FciHarness::kStatus))
        return -1;
    return typeStatus == statusCabinet ? long(cb2) : 0;
}

FciHarness::FciHarness(const std::string &tag) : dir("fci_" + tag) {
    for (const char *sub : {"src", "out", "tmp"})
        fs::create_directories(dir / sub);
    memset(&ccab, 0, sizeof ccab);
    ccab.cb = 0x7FFFFFFF;
    ccab.cbFolderThresh = 0x7FFFFFFF;
    ccab.setID = 4242;
    strcpy(ccab.szCab, "test.cab");
    strcpy(ccab.szCabPath, ((dir / "out").string() + "/").c_str());
}

FciHarness::~FciHarness() {
    if (hfci != nullptr)
        FCIDestroy(hfci);
}

FciHarness::AllocStats &FciHarness::allocs() {
    static AllocStats stats;
    return stats;
}

fs::path FciHarness::AddSource(const std::string &rel, const std::string &bytes) {
    WriteFile(dir / "src" / rel, bytes);
    return dir / "src" / rel;
}

bool FciHarness::Create() {
    erf = ERF{};
    hfci = FCICreate(&erf, FciPlaced, FciAlloc, FciFree, FciOpen, FciRead, FciWrite, FciClose,
                     FciSeek, FciDelete, FciGetTemp, &ccab, this);
    return hfci != nullptr;
}

bool FciHarness::Add(const fs::path &source, const std::string &name, TCOMP type, bool execute) {
    std::string src = source.string(), n = name;
    return FCIAddFile(hfci, src.data(), n.data(), execute, FciNextCab, FciStatus, FciOpenInfo,
                      type) != FALSE;
}

bool FciHarness::FlushFolder() {
    return FCIFlushFolder(hfci, FciNextCab, FciStatus) != FALSE;
}

bool FciHarness::Flush(bool next) {
    return FCIFlushCabinet(hfci, next, FciNextCab, FciStatus) != FALSE;
}

bool FciHarness::Destroy() {
    BOOL ok = FCIDestroy(hfci);
    hfci = nullptr;
    return ok != FALSE;
}

void FciHarness::WriteAll(const std::map<std::string, std::string> &files, TCOMP type) {
    EXPECT_TRUE(Create());
    int n = 0;
    for (auto &[name, bytes] : files) {
        EXPECT_TRUE(Add(AddSource("f" + std::to_string(n++), bytes), name, type))
            << name << " erf " << erf.erfOper;
    }
    EXPECT_TRUE(Flush());
    EXPECT_TRUE(Destroy());
    EXPECT_EQ(TempFilesLeft(), 0u);
}

std::vector<fs::path> FciHarness::SetPaths() const {
    std::vector<fs::path> paths{Cabinet()};
    for (int i = 1; fs::exists(Cabinet("test" + std::to_string(i) + ".cab")); ++i)
        paths.push_back(Cabinet("test" + std::to_string(i) + ".cab"));
    return paths;
}

std::vector<std::string> FciHarness::CabinetNames() const {
    std::vector<std::string> names;
    for (auto &e : fs::directory_iterator(dir / "out"))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

size_t FciHarness::TempFilesLeft() const {
    return size_t(std::distance(fs::directory_iterator(dir / "tmp"), {}));
}

}  // namespace cab::test

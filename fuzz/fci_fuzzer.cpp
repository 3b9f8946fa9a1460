// Fuzz target for the writer: files made from the input are packed through FCI with settings the
// input picks, then read back through FDI; every file must come back as it went in.
//
// Input: four parameter bytes, then the data. Byte 0: compression (low 2 bits: none, MSZIP, LZX,
// LZX), LZX window 15 + (bits 2-4) % 7, bit 5 the fast LZX level, bit 6 two threads, bit 7 a
// folder threshold of 64 KiB. Byte 1: 0 for one cabinet, else cabinets of 1500 + 300 x value
// bytes. Byte 2: number of files (1 to 8). Byte 3: each file is its share of the data repeated
// 1 to 8 times (bits taken three at a time), so that short inputs still reach long matches and
// frame ends. Everything lives in memory.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "cabinet/fci.h"
#include "cabinet/fdi.h"
#include "cabinet/writer/fci_block_queue.h"
#include "cabinet/writer/fci_lzx.h"

#define FUZZ_CHECK(cond, what) \
    ((cond) ? (void)0 : (fprintf(stderr, "fci_fuzzer: %s\n", what), abort()))

namespace fci_fuzz {

// Files by name, and open handles into them.
struct MemFs {
    std::map<std::string, std::string> files;
    struct Handle {
        std::string name;
        size_t pos = 0;
    };
    std::map<INT_PTR, Handle> handles;
    INT_PTR next = 1;
    int temps = 0;
    std::map<std::string, std::string> extracted;
    std::string current;  // name of the file FDI is writing
};

MemFs g_fs;

INT_PTR OpenName(const std::string &name, bool create) {
    if (!create && g_fs.files.count(name) == 0) {
        return -1;
    }
    if (create) {
        g_fs.files[name].clear();
    }
    g_fs.handles[g_fs.next] = MemFs::Handle{name, 0};
    return g_fs.next++;
}

FNREAD(ReadHandle) {
    auto it = g_fs.handles.find(hf);
    if (it == g_fs.handles.end()) {
        return UINT(-1);
    }
    const std::string &data = g_fs.files[it->second.name];
    size_t n =
        it->second.pos < data.size() ? std::min<size_t>(cb, data.size() - it->second.pos) : 0;
    memcpy(pv, data.data() + it->second.pos, n);
    it->second.pos += n;
    return UINT(n);
}

FNWRITE(WriteHandle) {
    auto it = g_fs.handles.find(hf);
    if (it == g_fs.handles.end()) {
        return UINT(-1);
    }
    std::string &data = g_fs.files[it->second.name];
    if (data.size() < it->second.pos + cb) {
        data.resize(it->second.pos + cb);
    }
    memcpy(&data[it->second.pos], pv, cb);
    it->second.pos += cb;
    return cb;
}

FNSEEK(SeekHandle) {
    auto it = g_fs.handles.find(hf);
    if (it == g_fs.handles.end()) {
        return -1;
    }
    long base = seektype == SEEK_SET   ? 0
                : seektype == SEEK_CUR ? long(it->second.pos)
                                       : long(g_fs.files[it->second.name].size());
    if (base + dist < 0) {
        return -1;
    }
    it->second.pos = size_t(base + dist);
    return long(it->second.pos);
}

FNCLOSE(CloseHandle) {
    return g_fs.handles.erase(hf) == 1 ? 0 : -1;
}

// ---- FCI callbacks ----

FNFCIALLOC(Alloc) {
    return malloc(cb);
}
FNFCIFREE(Free) {
    free(memory);
}
FNFCIOPEN(FciOpen) {
    INT_PTR hf = OpenName(pszFile, (oflag & _O_CREAT) != 0);
    *err = hf == -1 ? 2 : 0;
    return hf;
}
FNFCIREAD(FciRead) {
    return ReadHandle(hf, memory, cb);
}
FNFCIWRITE(FciWrite) {
    return WriteHandle(hf, memory, cb);
}
FNFCICLOSE(FciClose) {
    return CloseHandle(hf);
}
FNFCISEEK(FciSeek) {
    return SeekHandle(hf, dist, seektype);
}
FNFCIDELETE(FciDelete) {
    return g_fs.files.erase(pszFile) == 1 ? 0 : -1;
}
FNFCIGETTEMPFILE(TempFile) {
    return snprintf(pszTempName, size_t(cbTempName), "temp%d", g_fs.temps++) < cbTempName;
}
FNFCIFILEPLACED(Placed) {
    return 0;
}
FNFCIGETNEXTCABINET(NextCabinet) {
    snprintf(pccab->szCab, sizeof pccab->szCab, "set%d.cab", pccab->iCab);
    return TRUE;
}
FNFCISTATUS(Status) {
    return typeStatus == statusCabinet ? long(cb2) : 0;
}
FNFCIGETOPENINFO(OpenInfo) {
    *pdate = 0x5021, *ptime = 0, *pattribs = _A_ARCH;
    INT_PTR hf = OpenName(pszName, false);
    *err = hf == -1 ? 2 : 0;
    return hf;
}

FNOPEN(FdiOpen) {
    return OpenName(pszFile, false);
}
FNFDINOTIFY(Notify) {
    switch (fdint) {
        case fdintCOPY_FILE:
            g_fs.current = std::string("out/") + pfdin->psz1;
            return OpenName(g_fs.current, true);
        case fdintCLOSE_FILE_INFO:
            g_fs.extracted[pfdin->psz1] = g_fs.files[g_fs.current];
            CloseHandle(pfdin->hf);
            return TRUE;
        default:
            return 0;
    }
}

}  // namespace fci_fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace fci_fuzz;
    if (size < 4) {
        return 0;
    }
    const uint8_t p0 = data[0], p1 = data[1], p3 = data[3];
    const int files = 1 + data[2] % 8;
    data += 4;
    size -= 4;
    g_fs = MemFs();
    static const TCOMP kTypes[] = {tcompTYPE_NONE, tcompTYPE_MSZIP};
    const TCOMP type =
        (p0 & 3) < 2 ? kTypes[p0 & 3] : TCOMP(TCOMPfromLZXWindow(15 + (p0 >> 2 & 7) % 7));
    cab::SetFciLzxLevel(p0 & 0x20 ? cab::LzxLevel::kFast : cab::LzxLevel::kThorough);
    cab::SetFciThreadCount(p0 & 0x40 ? 2 : 1);

    std::map<std::string, std::string> want;
    for (int i = 0; i < files; ++i) {
        const size_t begin = size * size_t(i) / size_t(files),
                     end = size * size_t(i + 1) / size_t(files);
        const std::string piece(reinterpret_cast<const char *>(data) + begin, end - begin);
        std::string content;
        for (int r = 0; r <= (p3 >> (i % 3 * 3) & 7); ++r) {
            content += piece;
        }
        const std::string name = "f" + std::to_string(i);
        g_fs.files[name] = content;
        want[name] = content;
    }

    CCAB ccab = {};
    ccab.cb = p1 == 0 ? 0x7FFFFFFF : 1500 + 300 * ULONG(p1);
    ccab.cbFolderThresh = p0 & 0x80 ? 65536 : 0x7FFFFFFF;
    strcpy(ccab.szCab, "set0.cab");
    ERF erf = {};
    HFCI hfci = FCICreate(&erf, Placed, Alloc, Free, FciOpen, FciRead, FciWrite, FciClose, FciSeek,
                          FciDelete, TempFile, &ccab, nullptr);
    FUZZ_CHECK(hfci, "FCICreate failed");
    bool ok = true;
    for (const auto &[name, content] : want) {
        std::string n = name;
        ok = ok && FCIAddFile(hfci, n.data(), n.data(), FALSE, NextCabinet, Status, OpenInfo, type);
    }
    ok = ok && FCIFlushCabinet(hfci, FALSE, NextCabinet, Status);
    FUZZ_CHECK(FCIDestroy(hfci), "FCIDestroy failed");
    cab::SetFciThreadCount(0);
    // Only a cabinet limit too small for a file's records may refuse a file.
    FUZZ_CHECK(ok || erf.erfOper == FCIERR_CAB_FORMAT_LIMIT, "FCI failed");
    if (!ok) {
        return 0;
    }

    HFDI hfdi = FDICreate(Alloc, Free, FdiOpen, ReadHandle, WriteHandle, CloseHandle, SeekHandle,
                          cpuUNKNOWN, &erf);
    FUZZ_CHECK(hfdi, "FDICreate failed");
    char path[] = "";
    for (int i = 0; g_fs.files.count("set" + std::to_string(i) + ".cab") != 0; ++i) {
        std::string cab = "set" + std::to_string(i) + ".cab";
        FUZZ_CHECK(FDICopy(hfdi, cab.data(), path, 0, Notify, nullptr, nullptr), "FDICopy failed");
    }
    FDIDestroy(hfdi);
    FUZZ_CHECK(g_fs.extracted == want, "files read back differ");
    FUZZ_CHECK(g_fs.handles.empty(), "a handle left open");
    return 0;
}

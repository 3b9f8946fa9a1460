// Fuzz target for the writer: files made from the input are packed through FCI with settings the
// input picks, then read back through FDI; every file must come back as it went in.
//
// Input: four parameter bytes, then the data. Byte 0: compression (low 2 bits: none, MSZIP, LZX,
// LZX), LZX window 15 + (bits 2-4) % 7, bit 5 the fast LZX level, bit 6 two threads, bit 7 a
// folder threshold of 64 KiB. Byte 1: 0 for one cabinet, else cabinets of 1500 + 300 x value
// bytes. Byte 2: number of files (1 to 8). Byte 3: each file is its share of the data repeated
// 1 to 8 times (bits taken three at a time), so that short inputs still reach long matches and
// frame ends. Everything lives in memory.
#include "cabinet/fci.h"
#include "cabinet/writer/fci_block_queue.h"
#include "cabinet/writer/fci_lzx.h"
#include "fuzz/mem_files.h"

namespace fci_fuzz {

using namespace fuzz;

std::map<std::string, std::string> g_extracted;
std::string g_current;  // the file FDI is writing

FNFCIOPEN(FciOpen) {
    INT_PTR hf = OpenName(pszFile, (oflag & _O_CREAT) != 0);
    *err = hf == -1 ? 2 : 0;
    return hf;
}
FNFCIREAD(FciRead) {
    return Read(hf, memory, cb);
}
FNFCIWRITE(FciWrite) {
    return Write(hf, memory, cb);
}
FNFCICLOSE(FciClose) {
    return Close(hf);
}
FNFCISEEK(FciSeek) {
    return Seek(hf, dist, seektype);
}
FNFCIDELETE(FciDelete) {
    return g_files.files.erase(pszFile) == 1 ? 0 : -1;
}
FNFCIGETTEMPFILE(TempFile) {
    static int temps = 0;
    return snprintf(pszTempName, size_t(cbTempName), "temp%d", temps++) < cbTempName;
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

FNFDINOTIFY(Notify) {
    switch (fdint) {
        case fdintCOPY_FILE:
            g_current = std::string("out/") + pfdin->psz1;
            return OpenName(g_current, true);
        case fdintCLOSE_FILE_INFO:
            g_extracted[pfdin->psz1] = g_files.files[g_current];
            Close(pfdin->hf);
            return TRUE;
        default:
            return 0;
    }
}

}  // namespace fci_fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace fci_fuzz;
    if (size < 4)
        return 0;
    const uint8_t p0 = data[0], p1 = data[1], p3 = data[3];
    const int files = 1 + data[2] % 8;
    data += 4;
    size -= 4;
    g_files = MemFiles();
    g_extracted.clear();
    const TCOMP type = (p0 & 3) == 0   ? tcompTYPE_NONE
                       : (p0 & 3) == 1 ? tcompTYPE_MSZIP
                                       : TCOMP(TCOMPfromLZXWindow(15 + (p0 >> 2 & 7) % 7));
    cab::SetFciLzxLevel(p0 & 0x20 ? cab::LzxLevel::kFast : cab::LzxLevel::kThorough);
    cab::SetFciThreadCount(p0 & 0x40 ? 2 : 1);

    std::map<std::string, std::string> want;
    for (int i = 0; i < files; ++i) {
        const std::string piece(data + size * size_t(i) / size_t(files),
                                data + size * size_t(i + 1) / size_t(files));
        std::string &content = want["f" + std::to_string(i)];
        for (int r = 0; r <= (p3 >> (i % 3 * 3) & 7); ++r)
            content += piece;
        g_files.files["f" + std::to_string(i)] = content;
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
    if (!ok)
        return 0;

    HFDI hfdi = FDICreate(Alloc, Free, Open, Read, Write, Close, Seek, cpuUNKNOWN, &erf);
    FUZZ_CHECK(hfdi, "FDICreate failed");
    char path[] = "";
    for (int i = 0; g_files.files.count("set" + std::to_string(i) + ".cab") != 0; ++i) {
        std::string cab = "set" + std::to_string(i) + ".cab";
        FUZZ_CHECK(FDICopy(hfdi, cab.data(), path, 0, Notify, nullptr, nullptr), "FDICopy failed");
    }
    FDIDestroy(hfdi);
    FUZZ_CHECK(g_extracted == want, "files read back differ");
    FUZZ_CHECK(g_files.handles.empty(), "a handle left open");
    return 0;
}

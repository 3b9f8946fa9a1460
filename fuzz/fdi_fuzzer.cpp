// Fuzz target for the reader: FDIIsCabinet and FDICopy over one in-memory cabinet; every run ends
// in success or an error code, with every handle closed and all memory given back.
//
// Input: one parameter byte, then the cabinet. Parameter bits: 0x01 skip every other file,
// 0x02 give up at the first fdintNEXT_CABINET, 0x04 make the third write fail, 0x08 abort at the
// fifth notification; the high nibble k > 0 limits each read to 2^k bytes (short reads).
// Any other cabinet FDI asks for (next in a set) is served the same bytes. Files over 4 MiB are
// skipped so that one run stays short.
#include "fuzz/mem_files.h"

namespace fdi_fuzz {

struct State {
    uint8_t params = 0;
    int notifications = 0, offered = 0;
    ERF erf = {};
    BOOL copied = FALSE;
    int closed = 0;  // files handed back at fdintCLOSE_FILE_INFO
};
State g_state;

FNFDINOTIFY(Notify) {
    // The handle is ours to close at fdintCLOSE_FILE_INFO, whatever we answer.
    if (fdint == fdintCLOSE_FILE_INFO) {
        fuzz::Close(pfdin->hf);
        ++g_state.closed;
    }
    if ((g_state.params & 0x08) && ++g_state.notifications == 5)
        return -1;
    switch (fdint) {
        case fdintCOPY_FILE:
            FUZZ_CHECK(pfdin->psz1, "fdintCOPY_FILE without a name");
            if (((g_state.params & 0x01) && (g_state.offered++ & 1)) || pfdin->cb > (4 << 20))
                return 0;
            return fuzz::OpenName("out", true);
        case fdintCLOSE_FILE_INFO:
            return TRUE;
        case fdintNEXT_CABINET:
            return (g_state.params & 0x02) ? -1 : 0;
        default:
            return 0;
    }
}

// Reads `first` of fuzz::g_files in the mode `params` chooses.
void Run(uint8_t params, std::string first) {
    g_state = State{params};
    fuzz::g_files.keep_writes = false;
    fuzz::g_files.failing_write = (params & 0x04) ? 3 : 0;
    fuzz::g_files.read_limit = (params >> 4) ? size_t(1) << (params >> 4) : SIZE_MAX;
    ERF &erf = g_state.erf;
    HFDI hfdi = FDICreate(fuzz::Alloc, fuzz::Free, fuzz::Open, fuzz::Read, fuzz::Write, fuzz::Close,
                          fuzz::Seek, cpuUNKNOWN, &erf);
    FUZZ_CHECK(hfdi, "FDICreate failed");
    INT_PTR hf = fuzz::OpenName(first, false);
    FDICABINETINFO info;
    if (hf != -1) {
        FUZZ_CHECK(FDIIsCabinet(hfdi, hf, &info) || erf.erfOper > FDIERROR_NONE,
                   "FDIIsCabinet failed without a code");
        fuzz::Close(hf);
    }
    erf = {};
    char path[] = "";
    g_state.copied = FDICopy(hfdi, first.data(), path, 0, Notify, nullptr, nullptr);
    FUZZ_CHECK(g_state.copied || (erf.fError && erf.erfOper > FDIERROR_NONE &&
                                  erf.erfOper <= FDIERROR_USER_ABORT),
               "FDICopy failed without a code");
    FUZZ_CHECK(FDIDestroy(hfdi), "FDIDestroy failed");
    FUZZ_CHECK(fuzz::g_files.handles.empty(), "a handle left open");
    FUZZ_CHECK(fuzz::g_files.live == 0, "memory from the caller's allocator left");
}

}  // namespace fdi_fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    fuzz::g_files = {};
    fuzz::g_files.files["fuzz.cab"].assign(data + 1, data + size);
    fuzz::g_files.only = "fuzz.cab";
    fdi_fuzz::Run(data[0], "fuzz.cab");
    return 0;
}

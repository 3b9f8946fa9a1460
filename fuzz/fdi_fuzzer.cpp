// Fuzz target for the reader: FDIIsCabinet and FDICopy over one in-memory cabinet.
//
// Input: one parameter byte, then the cabinet. Parameter bits: 0x01 skip every other file,
// 0x02 give up at the first fdintNEXT_CABINET, 0x04 make the third write fail, 0x08 abort at the
// fifth notification; the high nibble k > 0 limits each read to 2^k bytes (short reads).
// Any other cabinet FDI asks for (next in a set) is served the same bytes. Files over 16 MiB are
// skipped so that one run stays short.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cabinet/fdi.h"

// A broken promise of the API is a crash the fuzzer reports.
#define FUZZ_CHECK(cond, what)                         \
    do {                                               \
        if (!(cond)) {                                 \
            fprintf(stderr, "fdi_fuzzer: %s\n", what); \
            abort();                                   \
        }                                              \
    } while (0)

namespace fdi_fuzz {

struct State {
    const uint8_t *data = nullptr;
    size_t size = 0;
    uint8_t params = 0;
    size_t reads_limit = 0;
    struct Handle {
        bool open = false;
        bool output = false;
        size_t pos = 0;
    } handles[16];
    int writes = 0;
    int notifications = 0;
    int files = 0;
    BOOL copied = FALSE;  // FDICopy's result, for the replay test
    int closed = 0;       // files handed back at fdintCLOSE_FILE_INFO
};

State g_state;

FNALLOC(Alloc) {
    return malloc(cb);
}
FNFREE(Free) {
    free(pv);
}

INT_PTR NewHandle(bool output) {
    for (int i = 0; i < 16; ++i) {
        if (!g_state.handles[i].open) {
            g_state.handles[i] = State::Handle{true, output, 0};
            return i + 1;
        }
    }
    return -1;
}

State::Handle *Get(INT_PTR hf) {
    if (hf < 1 || hf > 16 || !g_state.handles[hf - 1].open) {
        return nullptr;
    }
    return &g_state.handles[hf - 1];
}

FNOPEN(Open) {
    (void)pszFile, (void)oflag, (void)pmode;
    return NewHandle(false);
}

FNREAD(Read) {
    State::Handle *h = Get(hf);
    if (!h || h->output) {
        return UINT(-1);
    }
    size_t left = h->pos < g_state.size ? g_state.size - h->pos : 0;
    size_t n = cb < left ? cb : left;
    if (g_state.reads_limit && n > g_state.reads_limit) {
        n = g_state.reads_limit;
    }
    memcpy(pv, g_state.data + h->pos, n);
    h->pos += n;
    return UINT(n);
}

FNWRITE(Write) {
    State::Handle *h = Get(hf);
    if (!h || !h->output || !pv) {
        return UINT(-1);
    }
    if ((g_state.params & 0x04) && ++g_state.writes == 3) {
        return UINT(-1);
    }
    return cb;
}

FNCLOSE(Close) {
    State::Handle *h = Get(hf);
    FUZZ_CHECK(h, "a handle closed that is not open");
    h->open = false;
    return 0;
}

FNSEEK(Seek) {
    State::Handle *h = Get(hf);
    if (!h) {
        return -1;
    }
    long base = seektype == 0 ? 0 : seektype == 1 ? long(h->pos) : long(g_state.size);
    if (dist < 0 && -dist > base) {
        return -1;
    }
    h->pos = size_t(base + dist);
    return long(h->pos);
}

FNFDINOTIFY(Notify) {
    // The handle is ours to close at fdintCLOSE_FILE_INFO, whatever we answer.
    if (fdint == fdintCLOSE_FILE_INFO) {
        Close(pfdin->hf);
        ++g_state.closed;
    }
    if ((g_state.params & 0x08) && ++g_state.notifications == 5) {
        return -1;
    }
    switch (fdint) {
        case fdintCOPY_FILE:
            FUZZ_CHECK(pfdin->psz1, "fdintCOPY_FILE without a name");
            if ((g_state.params & 0x01) && (g_state.files++ & 1)) {
                return 0;
            }
            return NewHandle(true);
        case fdintCLOSE_FILE_INFO:
            return TRUE;
        case fdintNEXT_CABINET:
            return (g_state.params & 0x02) ? -1 : 0;
        default:
            return 0;
    }
}

}  // namespace fdi_fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace fdi_fuzz;
    if (size < 1) {
        return 0;
    }
    g_state = State();
    g_state.params = data[0];
    g_state.data = data + 1;
    g_state.size = size - 1;
    int shift = data[0] >> 4;
    g_state.reads_limit = shift ? size_t(1) << shift : 0;

    ERF erf = {};
    HFDI hfdi = FDICreate(Alloc, Free, Open, Read, Write, Close, Seek, cpuUNKNOWN, &erf);
    if (!hfdi) {
        return 0;
    }
    INT_PTR hf = Open(nullptr, 0, 0);
    FDICABINETINFO info;
    FDIIsCabinet(hfdi, hf, &info);
    Close(hf);
    char name[] = "fuzz.cab";
    char path[] = "";
    g_state.copied = FDICopy(hfdi, name, path, 0, Notify, nullptr, nullptr);
    FDIDestroy(hfdi);
    for (const auto &h : g_state.handles) {
        FUZZ_CHECK(!h.open, "a handle left open");
    }
    return 0;
}

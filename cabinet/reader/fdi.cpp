// The Cabinet API's reader entry points. The work is done by FdiExtractor (fdi_copy.h); this file
// owns the context and the error record.
#include "cabinet/fdi.h"

#include <new>

#include "cabinet/reader/fdi_cabinet.h"
#include "cabinet/reader/fdi_copy.h"
#include "cabinet/reader/fdi_io.h"

namespace cab {
namespace {

constexpr uint32_t kContextMagic = 0x49444643;  // "CFDI"

struct FdiContext {
    uint32_t magic = kContextMagic;
    FdiCallbacks callbacks;
    PERF perf = nullptr;
};

FdiContext *ContextFrom(HFDI hfdi) {
    auto *ctx = static_cast<FdiContext *>(hfdi);
    return ctx && ctx->magic == kContextMagic ? ctx : nullptr;
}

BOOL Fail(PERF perf, FDIERROR error) {
    if (perf) {
        perf->erfOper = error;
        perf->erfType = 0;
        perf->fError = TRUE;
    }
    return FALSE;
}

}  // namespace
}  // namespace cab

using cab::FdiContext;

HFDI DIAMONDAPI FDICreate(PFNALLOC pfnalloc, PFNFREE pfnfree, PFNOPEN pfnopen, PFNREAD pfnread,
                          PFNWRITE pfnwrite, PFNCLOSE pfnclose, PFNSEEK pfnseek, int /*cpuType*/,
                          PERF perf) {
    // No error code names a missing callback; without one nothing can be allocated or read.
    if (!pfnalloc || !pfnfree || !pfnopen || !pfnread || !pfnwrite || !pfnclose || !pfnseek) {
        cab::Fail(perf, FDIERROR_ALLOC_FAIL);
        return nullptr;
    }
    void *memory = pfnalloc(sizeof(FdiContext));
    if (!memory) {
        cab::Fail(perf, FDIERROR_ALLOC_FAIL);
        return nullptr;
    }
    auto *ctx = new (memory) FdiContext();
    ctx->callbacks = {pfnalloc, pfnfree, pfnopen, pfnread, pfnwrite, pfnclose, pfnseek};
    ctx->perf = perf;
    return ctx;
}

BOOL DIAMONDAPI FDIIsCabinet(HFDI hfdi, INT_PTR hf, PFDICABINETINFO pfdici) {
    FdiContext *ctx = cab::ContextFrom(hfdi);
    if (!ctx) {
        return FALSE;
    }
    const cab::FdiCallbacks &cb = ctx->callbacks;
    if (cb.seek(hf, 0, 0 /* SEEK_SET */) != 0) {
        return cab::Fail(ctx->perf, FDIERROR_NOT_A_CABINET);
    }
    // Only the header is needed: a few small reads, no buffer.
    uint8_t prefix[cab::kHeaderPrefixSize];
    size_t have = 0;
    while (have < sizeof(prefix)) {
        UINT got = cb.read(hf, prefix + have, UINT(sizeof(prefix) - have));
        if (got == UINT(-1) || got == 0 || got > sizeof(prefix) - have) {
            break;
        }
        have += got;
    }
    cab::CabHeader h;
    FDIERROR err = cab::ParseHeaderPrefix(prefix, have, &h);
    if (err != FDIERROR_NONE) {
        return cab::Fail(ctx->perf, err);
    }
    if (pfdici) {
        pfdici->cbCabinet = long(h.cbCabinet);
        pfdici->cFolders = h.cFolders;
        pfdici->cFiles = h.cFiles;
        pfdici->setID = h.setID;
        pfdici->iCabinet = h.iCabinet;
        pfdici->fReserve = (h.flags & cab::kFlagReservePresent) ? TRUE : FALSE;
        pfdici->hasprev = (h.flags & cab::kFlagPrevCabinet) ? TRUE : FALSE;
        pfdici->hasnext = (h.flags & cab::kFlagNextCabinet) ? TRUE : FALSE;
    }
    return TRUE;
}

BOOL DIAMONDAPI FDICopy(HFDI hfdi, char *pszCabinet, char *pszCabPath, int /*flags*/,
                        PFNFDINOTIFY pfnfdin, PFNFDIDECRYPT /*pfnfdid*/, void *pvUser) {
    FdiContext *ctx = cab::ContextFrom(hfdi);
    if (!ctx) {
        return FALSE;
    }
    // Nobody to ask which files to extract: nothing can go on.
    if (!pfnfdin) {
        return cab::Fail(ctx->perf, FDIERROR_USER_ABORT);
    }
    auto extractor = cab::MakeCaller<cab::FdiExtractor>(ctx->callbacks.allocator(), &ctx->callbacks,
                                                        pfnfdin, pvUser);
    if (!extractor) {
        return cab::Fail(ctx->perf, FDIERROR_ALLOC_FAIL);
    }
    FDIERROR err = extractor->Run(pszCabinet, pszCabPath);
    extractor.reset();
    return err == FDIERROR_NONE ? TRUE : cab::Fail(ctx->perf, err);
}

BOOL DIAMONDAPI FDIDestroy(HFDI hfdi) {
    FdiContext *ctx = cab::ContextFrom(hfdi);
    if (!ctx) {
        return FALSE;
    }
    PFNFREE free_fn = ctx->callbacks.free;
    ctx->magic = 0;
    ctx->~FdiContext();
    free_fn(ctx);
    return TRUE;
}

BOOL DIAMONDAPI FDITruncateCabinet(HFDI hfdi, char * /*pszCabinetName*/,
                                   USHORT /*iFolderToDelete*/) {
    FdiContext *ctx = cab::ContextFrom(hfdi);
    if (!ctx) {
        return FALSE;
    }
    // Not offered: the cabinet is left as it is and the call fails cleanly.
    return cab::Fail(ctx->perf, FDIERROR_BAD_COMPR_TYPE);
}

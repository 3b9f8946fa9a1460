// FCI entry points: argument checks and the C++/C boundary; the work is in fci_writer.cpp.
#include "cabinet/fci.h"

#include "cabinet/writer/fci_writer.h"

using cab::FciWriter;

namespace {

// No exception may cross the API: a container that cannot grow is an allocation failure.
template <typename Fn>
BOOL Guarded(HFCI hfci, Fn fn) {
    if (!FciWriter::IsWriter(hfci)) {
        return FALSE;
    }
    auto *writer = static_cast<FciWriter *>(hfci);
    try {
        return fn(writer) ? TRUE : FALSE;
    } catch (...) {
        writer->FailOutOfMemory();
        return FALSE;
    }
}

}  // namespace

extern "C" {

HFCI DIAMONDAPI FCICreate(PERF perf, PFNFCIFILEPLACED pfnfcifp, PFNFCIALLOC pfna, PFNFCIFREE pfnf,
                          PFNFCIOPEN pfnopen, PFNFCIREAD pfnread, PFNFCIWRITE pfnwrite,
                          PFNFCICLOSE pfnclose, PFNFCISEEK pfnseek, PFNFCIDELETE pfndelete,
                          PFNFCIGETTEMPFILE pfnfcigtf, PCCAB pccab, void *pv) {
    if (perf == nullptr) {
        return nullptr;
    }
    if (pccab == nullptr) {
        perf->erfOper = FCIERR_CAB_FILE;
        perf->erfType = 0;
        perf->fError = TRUE;
        return nullptr;
    }
    cab::FciCallbacks callbacks{pfnfcifp, pfna,    pfnf,      pfnopen,   pfnread, pfnwrite,
                                pfnclose, pfnseek, pfndelete, pfnfcigtf, pv};
    try {
        return FciWriter::Create(perf, callbacks, *pccab);
    } catch (...) {
        perf->erfOper = FCIERR_ALLOC_FAIL;
        perf->erfType = 0;
        perf->fError = TRUE;
        return nullptr;
    }
}

BOOL DIAMONDAPI FCIAddFile(HFCI hfci, LPSTR pszSourceFile, LPSTR pszFileName, BOOL fExecute,
                           PFNFCIGETNEXTCABINET pfnfcignc, PFNFCISTATUS pfnfcis,
                           PFNFCIGETOPENINFO pfnfcigoi, TCOMP typeCompress) {
    return Guarded(hfci, [&](FciWriter *w) {
        return w->AddFile(pszSourceFile, pszFileName, fExecute != FALSE, pfnfcignc, pfnfcis,
                          pfnfcigoi, typeCompress);
    });
}

BOOL DIAMONDAPI FCIFlushCabinet(HFCI hfci, BOOL fGetNextCab, PFNFCIGETNEXTCABINET pfnfcignc,
                                PFNFCISTATUS pfnfcis) {
    return Guarded(hfci, [&](FciWriter *w) {
        return w->FlushCabinet(fGetNextCab != FALSE, pfnfcignc, pfnfcis);
    });
}

BOOL DIAMONDAPI FCIFlushFolder(HFCI hfci, PFNFCIGETNEXTCABINET pfnfcignc, PFNFCISTATUS pfnfcis) {
    return Guarded(hfci, [&](FciWriter *w) { return w->FlushFolder(pfnfcignc, pfnfcis); });
}

BOOL DIAMONDAPI FCIDestroy(HFCI hfci) {
    if (!FciWriter::IsWriter(hfci)) {
        return FALSE;
    }
    FciWriter::Destroy(static_cast<FciWriter *>(hfci));
    return TRUE;
}

}  // extern "C"

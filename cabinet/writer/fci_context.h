// What every part of the writer reaches: the caller's callbacks, the error record, and the
// callbacks of the FCI call in progress.
#pragma once

#include <string>

#include "cabinet/fci.h"
#include "cabinet/format/caller_memory.h"

namespace cab {

struct FciCallbacks {
    PFNFCIFILEPLACED file_placed;
    PFNFCIALLOC alloc;
    PFNFCIFREE free;
    PFNFCIOPEN open;
    PFNFCIREAD read;
    PFNFCIWRITE write;
    PFNFCICLOSE close;
    PFNFCISEEK seek;
    PFNFCIDELETE remove;
    PFNFCIGETTEMPFILE get_temp_file;
    void *pv;
};

inline constexpr int kSeekSet = 0;
inline constexpr int kSeekEnd = 2;
inline constexpr int kCreateMode = _S_IREAD | _S_IWRITE;

struct FciContext {
    FciContext(PERF error, const FciCallbacks &callbacks) : perf(error), cb(callbacks) {}

    // Fills the error record. Always false, so that `return Fail(...)` ends a failed step.
    bool Fail(int oper, int type = 0) const {
        perf->erfOper = oper;
        perf->erfType = type;
        perf->fError = TRUE;
        return false;
    }
    // Calls the status callback of the call in progress, when there is one; false
    // (FCIERR_USER_ABORT) when it asks to stop.
    bool Status(UINT type, ULONG cb1, ULONG cb2) const {
        return status == nullptr || status(type, cb1, cb2, cb.pv) != -1 || Fail(FCIERR_USER_ABORT);
    }
    // Cleanup after a failure: errors are ignored, the first one is already recorded.
    void CloseQuietly(INT_PTR hf) const {
        int ignored = 0;
        cb.close(hf, &ignored, cb.pv);
    }
    void RemoveQuietly(std::string path) const {
        int ignored = 0;
        cb.remove(path.data(), &ignored, cb.pv);
    }
    CallerAllocator allocator() const { return CallerAllocator{cb.alloc, cb.free}; }

    PERF perf;
    FciCallbacks cb;
    PFNFCIGETNEXTCABINET get_next = nullptr;
    PFNFCISTATUS status = nullptr;
};

}  // namespace cab

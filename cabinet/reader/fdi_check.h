// FDI_CHECK(cond, error): the reader's one way to turn a failed check of its input into the error
// the caller sees; it returns `error` from the enclosing function. In debug builds, with
// CABMGR_FDI_TRACE set in the environment, each failed check is also named on standard error
// (file, line and condition), which tells apart the many ways a cabinet can be damaged.
#pragma once

namespace cab {

void TraceFailedCheck(const char *file, int line, const char *condition);

}  // namespace cab

#ifdef NDEBUG
#define FDI_TRACE_FAILED_CHECK(condition) ((void)0)
#else
#define FDI_TRACE_FAILED_CHECK(condition) ::cab::TraceFailedCheck(__FILE__, __LINE__, condition)
#endif

#define FDI_CHECK(cond, error)             \
    do {                                   \
        if (!(cond)) {                     \
            FDI_TRACE_FAILED_CHECK(#cond); \
            return (error);                \
        }                                  \
    } while (0)

#include "cabinet/reader/fdi_check.h"

#include <cstdio>
#include <cstdlib>

namespace cab {

void TraceFailedCheck(const char *file, int line, const char *condition) {
    static const bool enabled = std::getenv("CABMGR_FDI_TRACE") != nullptr;
    if (enabled) {
        std::fprintf(stderr, "FDI check failed at %s:%d: %s\n", file, line, condition);
    }
}

}  // namespace cab

#include "driver/summary.h"

#include "cabmanager/CabManager.h"

namespace cab {

std::string FailureSummary(const CCabManager &manager, Operation operation,
                           const std::string &fallback, bool filtered) {
    // A failure of the whole (no cabinet written, a cabinet that cannot be read) outweighs the
    // files it left out.
    if (manager.GetFailure()[0] != '\0')
        return manager.GetFailure();
    if (manager.GetFailedFiles() == 0)
        return fallback;
    // The total counts the files a filter leaves out too: with one, only the failures are told.
    const int failed = manager.GetFailedFiles();
    std::string count = std::to_string(failed);
    if (filtered)
        count += failed == 1 ? " file" : " files";
    else
        count += " of " + std::to_string(manager.GetTotalFiles()) + " files";
    return count + " could not be " + (operation == Operation::kPack ? "stored" : "extracted");
}

}  // namespace cab

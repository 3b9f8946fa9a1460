#include "driver/summary.h"

#include "cabmanager/CabManager.h"

namespace cab {

std::string FailureSummary(const CCabManager &manager, Operation operation,
                           const std::string &fallback) {
    // A failure of the whole (no cabinet written, a cabinet that cannot be read) outweighs the
    // files it left out.
    if (manager.GetFailure()[0] != '\0')
        return manager.GetFailure();
    if (manager.GetFailedFiles() == 0)
        return fallback;
    return std::to_string(manager.GetFailedFiles()) + " of " +
           std::to_string(manager.GetTotalFiles()) + " files could not be " +
           (operation == Operation::kPack ? "stored" : "extracted");
}

}  // namespace cab

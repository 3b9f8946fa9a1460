// Exit statuses of the console tool.
#pragma once

namespace cab {

enum ExitStatus {
    kExitSuccess = 0,     // the operation succeeded
    kExitFailure = 1,     // the operation failed; the manager's report lines say why
    kExitUsageError = 2,  // too few arguments or an unknown command letter
};

}  // namespace cab

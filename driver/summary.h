// The tool's one line on standard error after a failed packing or unpacking.
#pragma once

#include <string>

class CCabManager;

namespace cab {

enum class Operation { kPack, kUnpack };

// "N of M files could not be stored" (or extracted; "N files" when a filter chose the files)
// when files were left out, else what made the operation fail as a whole, else `fallback`.
std::string FailureSummary(const CCabManager &manager, Operation operation,
                           const std::string &fallback, bool filtered = false);

}  // namespace cab

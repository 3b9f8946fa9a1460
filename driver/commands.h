// Runs one command line of the console tool.
#pragma once

#include <string>
#include <vector>

namespace cab {

// args: the arguments after the program's name. Returns the exit status.
int RunCommandLine(const std::vector<std::wstring> &args);

}  // namespace cab

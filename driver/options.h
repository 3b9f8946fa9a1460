// The command line of the console tool: options first, then the command and its operands.
#pragma once

#include <string>
#include <vector>

#include "cabmanager/CabManager.h"

namespace cab {

enum class Command { kCompress, kDecompress, kList, kTest, kPrint, kHelp, kVersion };

struct Options {
    Command command = Command::kCompress;
    // No option given: the command line of old, run exactly as it always was.
    bool plain = false;
    std::vector<std::wstring> operands;
    std::wstring filters;  // the -F patterns joined by ';', empty when none
    bool compression_given = false;
    TCOMP compression = tcompTYPE_MSZIP;
    std::string compression_text;  // as written, for messages
    bool lzx_thorough = false;     // lzx:N:thorough
    ULONG max_size = 0;            // 0: not given
    bool threads_given = false;
    unsigned threads = 0;
    bool keep = false;
    bool quiet = false;
    bool verbose = false;
};

// Parses the arguments after the program's name. On a usage error returns false with the
// message (without the program's name) in *error.
bool ParseCommandLine(const std::vector<std::wstring> &args, Options *options, std::string *error);

// The usage line of old, printed for a plain command line that names no command.
inline constexpr char kPlainUsage[] = "The format is: c|d pathA pathB";
// A short usage, for standard error after a usage error.
extern const char kShortUsage[];
// The whole help text.
extern const char kHelp[];

}  // namespace cab

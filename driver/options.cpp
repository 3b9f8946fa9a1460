#include "driver/options.h"

#include <algorithm>
#include <cstdint>
#include <cwctype>
#include <utility>

#include "platform/text.h"

namespace cab {

const char kShortUsage[] =
    "usage: cabmgr [OPTIONS] c SOURCE CABINET\n"
    "       cabmgr [OPTIONS] d CABINET DEST\n"
    "       cabmgr [OPTIONS] -l|-t CABINET...\n"
    "       cabmgr [OPTIONS] -p CABINET [NAME...]\n"
    "Try 'cabmgr --help' for more information.\n";

const char kHelp[] =
    "Usage: cabmgr [OPTIONS] COMMAND\n"
    "Packs folders into Microsoft cabinet (.cab) files and unpacks them.\n"
    "\n"
    "Commands:\n"
    "  c SOURCE CABINET      pack the folder SOURCE, or every folder named in the file\n"
    "                        @LIST (one per line), into CABINET\n"
    "  d CABINET DEST        unpack CABINET (and the rest of its set) into the folder DEST\n"
    "  -l, --list CABINET... list the files: size, date, time, attributes, name\n"
    "  -t, --test CABINET... decode every file and check every checksum\n"
    "  -p, --pipe CABINET [NAME...]\n"
    "                        write the files NAME (all without a NAME) to standard output\n"
    "  -h, --help            show this help\n"
    "  -V, --version         show the version\n"
    "\n"
    "Options:\n"
    "  -F, --filter PATTERN  only the files whose name matches PATTERN (* and ?; several\n"
    "                        patterns may be given, or separated by ';'); d, -l, -t, -p\n"
    "  -m, --compression TYPE\n"
    "                        none, mszip (the default, level 4), mszip:1 (fastest) to\n"
    "                        mszip:9 (smallest), or lzx:15 to lzx:21 (the window), as\n"
    "                        lzx:21:thorough smaller but several times slower; c only.\n"
    "                        mszip:1 is ISA-L's deflate (where built with it); 2 to 4\n"
    "                        parse greedily, 5 to 7 lazily, 8 and 9 two bytes ahead,\n"
    "                        with longer hash chains at each level\n"
    "  -s, --max-size SIZE   largest cabinet, in bytes or with K, M or G (1440K for a\n"
    "                        floppy); more files go on into CABINET's set; c only\n"
    "  -j, --threads N       compression threads (1 to 64; one per core by default); c only\n"
    "  -k, --keep            never replace an existing file; d only\n"
    "  -q, --quiet           no report lines; only a summary on standard error on failure\n"
    "  -v, --verbose         name each file as it is stored or unpacked\n"
    "\n"
    "A file that does not begin with a cabinet (a self-extracting installer) is searched\n"
    "for the first cabinet inside it.\n"
    "Exit status: 0 success, 1 failure, 2 usage error, 128 + N stopped by signal N.\n";

namespace {

constexpr unsigned kMaxThreads = 64;

struct OptionDef {
    wchar_t short_name;
    const wchar_t *long_name;
    bool takes_value;
};

constexpr OptionDef kOptions[] = {
    {L'F', L"filter", true},   {L'm', L"compression", true}, {L's', L"max-size", true},
    {L'j', L"threads", true},  {L'k', L"keep", false},       {L'q', L"quiet", false},
    {L'v', L"verbose", false}, {L'l', L"list", false},       {L't', L"test", false},
    {L'p', L"pipe", false},    {L'h', L"help", false},       {L'V', L"version", false},
};

std::string Narrow(const std::wstring &text) {
    return WideToAcp(text);
}

std::wstring Lower(std::wstring text) {
    for (wchar_t &ch : text)
        ch = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(ch)));
    return text;
}

// A whole decimal number; one above `limit` gives limit + 1.
bool ParseNumber(const std::wstring &text, uint64_t limit, uint64_t *value) {
    if (text.empty())
        return false;
    uint64_t number = 0;
    for (wchar_t ch : text) {
        if (ch < L'0' || ch > L'9')
            return false;
        number = std::min(number * 10 + uint64_t(ch - L'0'), limit + 1);
    }
    *value = number;
    return true;
}

bool ParseCompression(const std::wstring &text, TCOMP *compression, bool *thorough,
                      std::string *error) {
    std::wstring type = Lower(text);
    const std::wstring suffix = L":thorough";
    *thorough = type.size() > suffix.size() && type.rfind(L"lzx:", 0) == 0 &&
                type.compare(type.size() - suffix.size(), suffix.size(), suffix) == 0;
    if (*thorough)
        type.resize(type.size() - suffix.size());
    if (type == L"none") {
        *compression = tcompTYPE_NONE;
        return true;
    }
    if (type == L"mszip") {
        *compression = tcompTYPE_MSZIP;
        return true;
    }
    uint64_t level = 0;
    if (type.rfind(L"mszip:", 0) == 0 && ParseNumber(type.substr(6), 99, &level)) {
        if (level < tcompMSZIP_LEVEL_LO || level > tcompMSZIP_LEVEL_HI) {
            *error = "the MSZIP level must be 1 to 9, not '" + Narrow(text.substr(6)) + "'";
            return false;
        }
        *compression = TCOMP(TCOMPfromMSZIPLevel(level));
        return true;
    }
    uint64_t window = 0;
    if (type.rfind(L"lzx:", 0) == 0 && ParseNumber(type.substr(4), 99, &window)) {
        if (window < 15 || window > 21) {
            *error = "the LZX window must be 15 to 21, not '" + Narrow(type.substr(4)) + "'";
            return false;
        }
        *compression = TCOMP(TCOMPfromLZXWindow(window));
        return true;
    }
    *error = "unknown compression '" + Narrow(text) +
             "' (none, mszip, mszip:1 to mszip:9, or lzx:15 to lzx:21, :thorough after it)";
    return false;
}

// Bytes, or K, M or G of 1024, 1024^2 or 1024^3 bytes.
bool ParseSize(const std::wstring &text, ULONG *size, std::string *error) {
    std::wstring digits = text;
    uint64_t unit = 1;
    if (!digits.empty()) {
        switch (std::towupper(static_cast<wint_t>(digits.back()))) {
            case L'K':
                unit = uint64_t(1) << 10;
                break;
            case L'M':
                unit = uint64_t(1) << 20;
                break;
            case L'G':
                unit = uint64_t(1) << 30;
                break;
        }
        if (unit != 1)
            digits.pop_back();
    }
    const uint64_t largest = uint64_t(CB_MAX_DISK);
    uint64_t number = 0;
    if (!ParseNumber(digits, largest, &number)) {
        *error = "invalid size '" + Narrow(text) + "' (a number of bytes, or with K, M or G)";
        return false;
    }
    uint64_t bytes = number * unit;
    if (bytes < CABMGR_MIN_CABINET_SIZE || bytes > largest) {
        *error = "a cabinet size must be " + std::to_string(CABMGR_MIN_CABINET_SIZE) + " to " +
                 std::to_string(largest) + " bytes, not '" + Narrow(text) + "'";
        return false;
    }
    *size = ULONG(bytes);
    return true;
}

bool ApplyOption(const OptionDef &def, const std::wstring &value, Options *options, int *modes,
                 std::string *error) {
    uint64_t number = 0;
    switch (def.short_name) {
        case L'F':
            if (value.empty()) {
                *error = "an empty filter matches nothing";
                return false;
            }
            if (!options->filters.empty())
                options->filters += L';';
            options->filters += value;
            return true;
        case L'm':
            options->compression_given = true;
            options->compression_text = Narrow(value);
            return ParseCompression(value, &options->compression, &options->lzx_thorough, error);
        case L's':
            return ParseSize(value, &options->max_size, error);
        case L'j':
            if (!ParseNumber(value, kMaxThreads, &number) || number == 0 || number > kMaxThreads) {
                *error = "the number of threads must be 1 to " + std::to_string(kMaxThreads) +
                         ", not '" + Narrow(value) + "'";
                return false;
            }
            options->threads_given = true;
            options->threads = unsigned(number);
            return true;
        case L'k':
            options->keep = true;
            return true;
        case L'q':
            options->quiet = true;
            return true;
        case L'v':
            options->verbose = true;
            return true;
        case L'l':
            options->command = Command::kList;
            break;
        case L't':
            options->command = Command::kTest;
            break;
        case L'p':
            options->command = Command::kPrint;
            break;
        case L'h':
            options->command = Command::kHelp;
            break;
        default:
            options->command = Command::kVersion;
            break;
    }
    ++*modes;
    return true;
}

const OptionDef *FindShort(wchar_t name) {
    for (const OptionDef &def : kOptions) {
        if (def.short_name == name)
            return &def;
    }
    return nullptr;
}

const OptionDef *FindLong(const std::wstring &name) {
    for (const OptionDef &def : kOptions) {
        if (name == def.long_name)
            return &def;
    }
    return nullptr;
}

// Options that belong to some commands only.
bool CheckApplies(const Options &options, std::string *error) {
    bool compress = options.command == Command::kCompress;
    bool reads =
        !compress && options.command != Command::kHelp && options.command != Command::kVersion;
    struct Rule {
        bool given;
        bool allowed;
        const char *text;
    };
    const Rule rules[] = {
        {!options.filters.empty(), reads, "-F/--filter applies to d, -l, -t and -p only"},
        {options.compression_given, compress, "-m/--compression applies to c only"},
        {options.max_size != 0, compress, "-s/--max-size applies to c only"},
        {options.threads_given, compress, "-j/--threads applies to c only"},
        {options.keep, options.command == Command::kDecompress, "-k/--keep applies to d only"},
    };
    for (const Rule &rule : rules) {
        if (rule.given && !rule.allowed) {
            *error = rule.text;
            return false;
        }
    }
    return true;
}

bool CheckOperands(const Options &options, std::string *error) {
    size_t count = options.operands.size();
    switch (options.command) {
        case Command::kCompress:
        case Command::kDecompress:
            if (count < 2) {
                *error = options.command == Command::kCompress ? "c needs SOURCE and CABINET"
                                                               : "d needs CABINET and DEST";
                return false;
            }
            if (count > 2) {
                *error = "extra argument '" + Narrow(options.operands[2]) + "'";
                return false;
            }
            return true;
        case Command::kList:
        case Command::kTest:
        case Command::kPrint:
            if (count == 0) {
                *error = "a CABINET is needed";
                return false;
            }
            return true;
        default:
            if (count != 0) {
                *error = "extra argument '" + Narrow(options.operands[0]) + "'";
                return false;
            }
            return true;
    }
}

}  // namespace

bool ParseCommandLine(const std::vector<std::wstring> &args, Options *options, std::string *error) {
    *options = Options();
    error->clear();
    if (args.empty() || args[0].empty() || args[0][0] != L'-') {
        // As it always was: the first letter of the command counts, later arguments are ignored.
        options->plain = true;
        wchar_t letter = !args.empty() && !args[0].empty() ? args[0][0] : L'\0';
        if (args.size() < 3 ||
            (letter != L'c' && letter != L'C' && letter != L'd' && letter != L'D'))
            return false;
        options->command =
            letter == L'c' || letter == L'C' ? Command::kCompress : Command::kDecompress;
        options->operands.assign(args.begin() + 1, args.begin() + 3);
        return true;
    }

    // Options and operands may mix; "--" ends the options.
    int modes = 0;
    std::vector<std::wstring> operands;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::wstring &arg = args[i];
        if (arg == L"--") {
            operands.insert(operands.end(), args.begin() + long(i) + 1, args.end());
            break;
        }
        if (arg.size() < 2 || arg[0] != L'-') {
            operands.push_back(arg);
            continue;
        }
        if (arg[1] == L'-') {
            size_t equals = arg.find(L'=');
            std::wstring name = arg.substr(2, equals == std::wstring::npos ? equals : equals - 2);
            const OptionDef *def = FindLong(name);
            if (def == nullptr) {
                *error = "unknown option '" + Narrow(arg) + "'";
                return false;
            }
            std::wstring value;
            if (def->takes_value) {
                if (equals != std::wstring::npos) {
                    value = arg.substr(equals + 1);
                } else if (i + 1 < args.size()) {
                    value = args[++i];
                } else {
                    *error = "option '--" + Narrow(name) + "' needs a value";
                    return false;
                }
            } else if (equals != std::wstring::npos) {
                *error = "option '--" + Narrow(name) + "' takes no value";
                return false;
            }
            if (!ApplyOption(*def, value, options, &modes, error))
                return false;
            continue;
        }
        // Short options may be grouped (-qv); one that takes a value ends the group, the value
        // following it directly (-Fx) or as the next argument (-F x).
        for (size_t at = 1; at < arg.size(); ++at) {
            const OptionDef *def = FindShort(arg[at]);
            if (def == nullptr) {
                *error = "unknown option '-" + Narrow(std::wstring(1, arg[at])) + "'";
                return false;
            }
            std::wstring value;
            if (def->takes_value) {
                if (at + 1 < arg.size()) {
                    value = arg.substr(at + 1);
                } else if (i + 1 < args.size()) {
                    value = args[++i];
                } else {
                    *error = "option '-" + Narrow(std::wstring(1, arg[at])) + "' needs a value";
                    return false;
                }
                at = arg.size();
            }
            if (!ApplyOption(*def, value, options, &modes, error))
                return false;
        }
    }
    if (modes > 1) {
        *error = "only one of -l, -t, -p, -h and -V may be given";
        return false;
    }
    if (modes == 0) {
        wchar_t letter = !operands.empty() && !operands[0].empty() ? operands[0][0] : L'\0';
        if (letter == L'c' || letter == L'C') {
            options->command = Command::kCompress;
        } else if (letter == L'd' || letter == L'D') {
            options->command = Command::kDecompress;
        } else {
            *error = !operands.empty() ? "unknown command '" + Narrow(operands[0]) + "'"
                                       : "no command given";
            return false;
        }
        operands.erase(operands.begin());
    }
    options->operands = std::move(operands);
    return CheckApplies(*options, error) && CheckOperands(*options, error);
}

}  // namespace cab

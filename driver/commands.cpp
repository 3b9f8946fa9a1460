#include "driver/commands.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cabmanager/CabManager.h"
#include "driver/exit_status.h"
#include "driver/options.h"
#include "driver/progress_bar.h"
#include "driver/stop_signals.h"
#include "driver/summary.h"
#include "platform/text.h"

#ifndef CABMGR_VERSION
#define CABMGR_VERSION "unknown"
#endif

namespace cab {
namespace {

// Disk-style names: folder levels separated by '/'.
std::string DiskName(const char *name) {
    std::string text = name;
    for (char &ch : text)
        ch = ch == '\\' ? '/' : ch;
    return text;
}

// What the tool writes while an operation runs: the manager's report lines, the progress line,
// the names of -v, and its own lines on standard error.
class Console {
public:
    // With `pipe` (-p), standard output carries the files' data: reports and names go to
    // standard error, and no progress line shares a terminal with the data.
    Console(const Options &options, CCabManager *manager, bool pipe)
        : options_(options),
          manager_(manager),
          reports_(pipe ? stderr : stdout),
          names_(reports_),
          bar_(stderr, !pipe || !IsTerminal(stdout)) {
        CCabManager::SetReportOutput(&Console::OnReport, this);
        if (bar_.active() || options_.verbose)
            manager_->SetProgressCallback(&Console::OnProgress, this);
    }
    ~Console() {
        EndErrorLine();
        bar_.EndLine();
        manager_->SetProgressCallback(nullptr, nullptr);
        CCabManager::SetReportOutput(nullptr, nullptr);
    }
    Console(const Console &) = delete;
    Console &operator=(const Console &) = delete;

    // One line of the tool's own on standard error: "cabmgr: " and the message.
    void Say(const char *format, ...) __attribute__((format(printf, 2, 3))) {
        bar_.EndLine();
        EndErrorLine();
        fflush(reports_);
        va_list args;
        va_start(args, format);
        fputs("cabmgr: ", stderr);
        vfprintf(stderr, format, args);
        fputc('\n', stderr);
        va_end(args);
    }

private:
    static void OnReport(void *context, const char *text) {
        auto *self = static_cast<Console *>(context);
        self->bar_.EndLine();
        if (self->options_.quiet)
            return;
        // The system error's number ends without a line end; the next report starts a line.
        if (self->error_open_ && text[0] != '\n')
            fputc('\n', self->reports_);
        self->error_open_ = strncmp(text, "GetLastError: ", 14) == 0;
        fputs(text, self->reports_);
    }

    void EndErrorLine() {
        if (error_open_)
            fputc('\n', reports_);
        error_open_ = false;
    }

    static void OnProgress(void *context, int event, int /*value*/) {
        auto *self = static_cast<Console *>(context);
        CABPROGRESSINFO info;
        self->manager_->GetProgress(&info);
        bool end = event == CABPROGRESS_COMPRESS_DONE || event == CABPROGRESS_DECOMPRESS_DONE;
        if (self->options_.verbose &&
            (event == CABPROGRESS_FILE_STORED || event == CABPROGRESS_FILE_EXTRACTED)) {
            self->bar_.EndLine();
            fprintf(self->names_, "%s\n", DiskName(info.pszFile).c_str());
            fflush(self->names_);
        }
        self->bar_.Update(info, end);
        if (end)
            self->bar_.EndLine();
    }

    const Options &options_;
    CCabManager *manager_;
    FILE *reports_;
    FILE *names_;
    ProgressBar bar_;
    bool error_open_ = false;
};

std::string Narrow(const std::wstring &text) {
    return WideToAcp(text);
}

const wchar_t *FiltersOf(const Options &options) {
    return options.filters.empty() ? nullptr : options.filters.c_str();
}

ExitStatus Compress(const Options &options, CCabManager *manager, Console *console) {
    if (options.compression_given && FAILED(manager->SetCompression(options.compression))) {
        console->Say("compression '%s' is not available in this build",
                     options.compression_text.c_str());
        return kExitUsageError;
    }
    if (options.max_size != 0 && FAILED(manager->SetMaxCabinetSize(options.max_size))) {
        console->Say("a cabinet size must be %lu to %ld bytes", CABMGR_MIN_CABINET_SIZE,
                     CB_MAX_DISK);
        return kExitUsageError;
    }
    if (options.threads_given)
        CCabManager::SetCompressionThreads(options.threads);
    CCabManager::SetLzxThorough(options.lzx_thorough);
    const std::wstring &source = options.operands[0], &cabinet = options.operands[1];
    HRESULT hr = manager->CompressFilesInFolder(source.c_str(), cabinet.c_str(), 0, 1);
    if (FAILED(hr)) {
        console->Say("%s", FailureSummary(*manager, Operation::kPack,
                                          Narrow(cabinet) + ": could not pack " + Narrow(source))
                               .c_str());
        return kExitFailure;
    }
    return kExitSuccess;
}

ExitStatus Decompress(const Options &options, CCabManager *manager, Console *console) {
    manager->SetKeepExistingFiles(options.keep);
    const std::wstring &cabinet = options.operands[0], &dest = options.operands[1];
    std::wstring used;
    HRESULT hr =
        manager->DecompressCabFile(cabinet.c_str(), dest.c_str(), FiltersOf(options), &used);
    if (FAILED(hr)) {
        console->Say("%s", FailureSummary(*manager, Operation::kUnpack,
                                          Narrow(cabinet) + ": could not unpack into " +
                                              Narrow(used.empty() ? dest : used),
                                          FiltersOf(options) != nullptr)
                               .c_str());
        return kExitFailure;
    }
    // A folder of another name when DEST could not be made, or DEST with its variables expanded.
    if (used != dest)
        console->Say("unpacked into %s", Narrow(used).c_str());
    return kExitSuccess;
}

// What made a listing, test or -p fail as a whole, else `what` about the cabinet.
std::string ReadFailure(const CCabManager &manager, const std::wstring &cabinet, const char *what) {
    if (manager.GetFailure()[0] != '\0')
        return manager.GetFailure();
    return Narrow(cabinet) + ": " + what;
}

// The listing of one cabinet: a line per file, then the totals.
struct Listing {
    uint64_t bytes = 0;
    int files = 0;
    bool headed = false;

    // The column names, after any report line about the cabinet.
    void Head() {
        if (!headed)
            printf("      Size Date       Time     Attr Name\n");
        headed = true;
    }

    static int Print(void *context, const CABMEMBER *member) {
        auto *self = static_cast<Listing *>(context);
        self->Head();
        unsigned date = member->date, time = member->time;
        printf("%10u %04u-%02u-%02u %02u:%02u:%02u %c%c%c  %s\n", unsigned(member->cbFile),
               1980 + (date >> 9), (date >> 5) & 15, date & 31, time >> 11, (time >> 5) & 63,
               (time & 31) * 2, member->attribs & _A_RDONLY ? 'R' : '-',
               member->attribs & _A_HIDDEN ? 'H' : '-', member->attribs & _A_ARCH ? 'A' : '-',
               DiskName(member->pszName).c_str());
        self->bytes += member->cbFile;
        ++self->files;
        return 1;
    }
};

ExitStatus List(const Options &options, CCabManager *manager, Console *console) {
    ExitStatus status = kExitSuccess;
    for (size_t i = 0; i < options.operands.size(); ++i) {
        const std::wstring &cabinet = options.operands[i];
        if (options.operands.size() > 1)
            printf("%s%s:\n", i == 0 ? "" : "\n", Narrow(cabinet).c_str());
        Listing listing;
        HRESULT hr =
            manager->ListCabinet(cabinet.c_str(), FiltersOf(options), &Listing::Print, &listing);
        if (SUCCEEDED(hr) || listing.files != 0) {
            listing.Head();
            printf("%10llu %25s%d file%s\n", static_cast<unsigned long long>(listing.bytes), "",
                   listing.files, listing.files == 1 ? "" : "s");
        }
        fflush(stdout);
        if (FAILED(hr)) {
            console->Say("%s",
                         ReadFailure(*manager, cabinet, "could not list the cabinet").c_str());
            status = kExitFailure;
        }
    }
    return status;
}

ExitStatus Test(const Options &options, CCabManager *manager, Console *console) {
    ExitStatus status = kExitSuccess;
    for (const std::wstring &cabinet : options.operands) {
        int tested = 0, damaged = 0;
        HRESULT hr = manager->TestCabinet(cabinet.c_str(), FiltersOf(options), &tested, &damaged);
        // A set cut short is named even when files were damaged: the count covers only the
        // files before the cut.
        if (FAILED(hr) && (damaged == 0 || manager->GetFailure()[0] != '\0')) {
            console->Say("%s",
                         ReadFailure(*manager, cabinet, "could not test the cabinet").c_str());
        }
        if (damaged != 0)
            console->Say("%s: %d of %d files damaged", Narrow(cabinet).c_str(), damaged, tested);
        if (FAILED(hr))
            status = kExitFailure;
    }
    return status;
}

// -p: the files named (all without a name) to standard output, byte for byte.
struct Pipe {
    std::vector<std::string> names;
    std::vector<bool> found;

    static int Take(void *context, const CABMEMBER *member) {
        auto *self = static_cast<Pipe *>(context);
        if (self->names.empty())
            return 1;
        std::string name = DiskName(member->pszName);
        bool take = false;
        for (size_t i = 0; i < self->names.size(); ++i) {
            if (self->names[i] == name) {
                self->found[i] = true;
                take = true;
            }
        }
        return take ? 1 : 0;
    }

    static UINT Write(void * /*context*/, const void *data, UINT size) {
        return static_cast<UINT>(fwrite(data, 1, size, stdout));
    }
};

ExitStatus Print(const Options &options, CCabManager *manager, Console *console) {
    const std::wstring &cabinet = options.operands[0];
    Pipe pipe;
    for (size_t i = 1; i < options.operands.size(); ++i)
        pipe.names.push_back(DiskName(Narrow(options.operands[i]).c_str()));
    pipe.found.assign(pipe.names.size(), false);
    HRESULT hr = manager->ExtractToSink(cabinet.c_str(), FiltersOf(options), &Pipe::Take,
                                        &Pipe::Write, &pipe);
    ExitStatus status = kExitSuccess;
    if (fflush(stdout) != 0 || ferror(stdout)) {
        console->Say("could not write to standard output");
        status = kExitFailure;
    } else if (FAILED(hr)) {
        console->Say("%s", ReadFailure(*manager, cabinet, "could not write its files").c_str());
        status = kExitFailure;
    }
    for (size_t i = 0; i < pipe.names.size() && SUCCEEDED(hr); ++i) {
        if (!pipe.found[i]) {
            console->Say("%s: no file named %s", Narrow(cabinet).c_str(), pipe.names[i].c_str());
            status = kExitFailure;
        }
    }
    return status;
}

ExitStatus Run(const Options &options) {
    CCabManager manager;
    Console console(options, &manager, options.command == Command::kPrint);
    // A stop signal cancels the operation, which cleans up; main then ends by the signal.
    CancelOnStopSignals(&manager);
    ExitStatus status;
    switch (options.command) {
        case Command::kCompress:
            status = Compress(options, &manager, &console);
            break;
        case Command::kDecompress:
            status = Decompress(options, &manager, &console);
            break;
        case Command::kList:
            status = List(options, &manager, &console);
            break;
        case Command::kTest:
            status = Test(options, &manager, &console);
            break;
        default:
            status = Print(options, &manager, &console);
            break;
    }
    CancelOnStopSignals(nullptr);
    return status;
}

}  // namespace

int RunCommandLine(const std::vector<std::wstring> &args) {
    Options options;
    std::string error;
    if (!ParseCommandLine(args, &options, &error)) {
        if (options.plain) {
            printf("%s", kPlainUsage);
        } else {
            fprintf(stderr, "cabmgr: %s\n%s", error.c_str(), kShortUsage);
        }
        return kExitUsageError;
    }
    switch (options.command) {
        case Command::kHelp:
            fputs(kHelp, stdout);
            return kExitSuccess;
        case Command::kVersion:
            printf("cabmgr %s\n", CABMGR_VERSION);
            return kExitSuccess;
        default:
            return Run(options);
    }
}

}  // namespace cab

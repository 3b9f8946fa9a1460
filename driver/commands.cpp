#include "driver/commands.h"

#include <cstdarg>
#include <cstdio>

#include "cabmanager/CabManager.h"
#include "driver/exit_status.h"
#include "driver/options.h"
#include "driver/progress_bar.h"
#include "platform/text.h"

#ifndef CABMGR_VERSION
#define CABMGR_VERSION "unknown"
#endif

namespace cab {
namespace {

// What the tool writes while an operation runs: the manager's report lines, the progress line,
// the names of -v, and its own lines on standard error.
class Console {
public:
    Console(const Options &options, CCabManager *manager, FILE *reports)
        : options_(options), manager_(manager), reports_(reports), bar_(stderr) {
        CCabManager::SetReportOutput(&Console::OnReport, this);
        if (bar_.active() || options_.verbose)
            manager_->SetProgressCallback(&Console::OnProgress, this);
    }
    ~Console() {
        bar_.EndLine();
        manager_->SetProgressCallback(nullptr, nullptr);
        CCabManager::SetReportOutput(nullptr, nullptr);
    }
    Console(const Console &) = delete;
    Console &operator=(const Console &) = delete;

    // One line of the tool's own on standard error: "cabmgr: " and the message.
    void Say(const char *format, ...) __attribute__((format(printf, 2, 3))) {
        bar_.EndLine();
        fflush(reports_);
        va_list args;
        va_start(args, format);
        fputs("cabmgr: ", stderr);
        vfprintf(stderr, format, args);
        fputc('\n', stderr);
        va_end(args);
    }

    // Where the names of -v go: standard output, unless that carries file data.
    void SetNamesStream(FILE *names) { names_ = names; }

private:
    static void OnReport(void *context, const char *text) {
        auto *self = static_cast<Console *>(context);
        self->bar_.EndLine();
        if (!self->options_.quiet)
            fputs(text, self->reports_);
    }

    static void OnProgress(void *context, int event, int /*value*/) {
        auto *self = static_cast<Console *>(context);
        CABPROGRESSINFO info;
        self->manager_->GetProgress(&info);
        bool end = event == CABPROGRESS_COMPRESS_DONE || event == CABPROGRESS_DECOMPRESS_DONE;
        if (self->options_.verbose &&
            (event == CABPROGRESS_FILE_STORED || event == CABPROGRESS_FILE_EXTRACTED)) {
            self->bar_.EndLine();
            std::string name = info.pszFile;
            for (char &ch : name)
                ch = ch == '\\' ? '/' : ch;
            fprintf(self->names_, "%s\n", name.c_str());
            fflush(self->names_);
        }
        self->bar_.Update(info, end);
        if (end)
            self->bar_.EndLine();
    }

    const Options &options_;
    CCabManager *manager_;
    FILE *reports_;
    FILE *names_ = stdout;
    ProgressBar bar_;
};

std::string Narrow(const std::wstring &text) {
    return WideToAcp(text);
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
    const std::wstring &source = options.operands[0], &cabinet = options.operands[1];
    HRESULT hr = manager->CompressFilesInFolder(source.c_str(), cabinet.c_str(), 0, 1);
    if (FAILED(hr)) {
        console->Say("%s: could not pack %s", Narrow(cabinet).c_str(), Narrow(source).c_str());
        return kExitFailure;
    }
    return kExitSuccess;
}

ExitStatus Decompress(const Options &options, CCabManager *manager, Console *console) {
    manager->SetKeepExistingFiles(options.keep);
    const std::wstring &cabinet = options.operands[0], &dest = options.operands[1];
    std::wstring used;
    HRESULT hr = manager->DecompressCabFile(
        cabinet.c_str(), dest.c_str(), options.filters.empty() ? nullptr : options.filters.c_str(),
        &used);
    if (!used.empty() && used != dest)
        console->Say("unpacking into %s", Narrow(used).c_str());
    if (FAILED(hr)) {
        console->Say("%s: could not unpack into %s", Narrow(cabinet).c_str(),
                     Narrow(used.empty() ? dest : used).c_str());
        return kExitFailure;
    }
    return kExitSuccess;
}

ExitStatus Run(const Options &options) {
    CCabManager manager;
    Console console(options, &manager, stdout);
    switch (options.command) {
        case Command::kCompress:
            return Compress(options, &manager, &console);
        case Command::kDecompress:
            return Decompress(options, &manager, &console);
        default:
            console.Say("-l, -t and -p are not available yet");
            return kExitFailure;
    }
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

// cabmgr: packs a folder into a cabinet ("c") or unpacks a cabinet into a folder ("d") with one
// CCabManager operation. Exit status: 0 success, 1 failure, 2 usage error.
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "cabmanager/CabManager.h"
#include "driver/exit_status.h"
#include "driver/progress_bar.h"
#include "platform/text.h"

namespace {

const char kUsage[] = "The format is: c|d pathA pathB";

// Runs the command; args holds the arguments as wide strings, argument 0 included.
cab::ExitStatus Run(const std::vector<std::wstring> &args) {
    CCabManager manager;
    std::wstring out_folder;
    wchar_t command = args.size() >= 2 && !args[1].empty() ? args[1][0] : L'\0';
    bool known = command == L'c' || command == L'C' || command == L'd' || command == L'D';
    if (args.size() < 4 || !known) {
        printf("%s", kUsage);
        fflush(stdout);
        return cab::kExitUsageError;
    }

    cab::ProgressBar progress(&manager, stderr);
    progress.InstallIfTerminal();
    HRESULT hr;
    if (command == L'c' || command == L'C')
        hr = manager.CompressFilesInFolder(args[2].c_str(), args[3].c_str(), 0, 1);
    else
        hr = manager.DecompressCabFile(args[2].c_str(), args[3].c_str(), nullptr, &out_folder);
    return SUCCEEDED(hr) ? cab::kExitSuccess : cab::kExitFailure;
}

}  // namespace

int main(int argc, char **argv) {
    try {
        // The arguments are bytes; names that are not UTF-8 survive the lossless decoding.
        std::vector<std::wstring> args;
        args.reserve(static_cast<size_t>(argc));
        for (int i = 0; i < argc; ++i)
            args.push_back(cab::AcpToWide(argv[i]));
        int status = Run(args);
        fflush(stdout);
        return status;
    } catch (const std::bad_alloc &) {
        fputs("cabmgr: out of memory\n", stderr);
        return cab::kExitFailure;
    }
}

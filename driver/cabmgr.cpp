// cabmgr: packs folders into cabinets and unpacks, lists, tests and prints them, one CCabManager
// operation per run. Exit status: 0 success, 1 failure, 2 usage error; a stop signal ends it as
// that signal does (128 + its number), once the operation has cleaned up.
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "driver/commands.h"
#include "driver/exit_status.h"
#include "driver/stop_signals.h"
#include "platform/signals.h"
#include "platform/text.h"

int main(int argc, char **argv) {
    try {
        // The arguments are bytes; names that are not UTF-8 survive the lossless decoding.
        std::vector<std::wstring> args;
        for (int i = 1; i < argc; ++i)
            args.push_back(cab::AcpToWide(argv[i]));
        int status = cab::RunCommandLine(args);
        // A listing or names that never reached standard output are work not done (-p, whose
        // data goes there, has said so already).
        if ((fflush(stdout) != 0 || ferror(stdout)) && status == cab::kExitSuccess) {
            fputs("cabmgr: could not write to standard output\n", stderr);
            status = cab::kExitFailure;
        }
        if (int nSignal = cab::StopSignalReceived())
            cab::ExitBySignal(nSignal);
        return status;
    } catch (const std::bad_alloc &) {
        fputs("cabmgr: out of memory\n", stderr);
        return cab::kExitFailure;
    }
}

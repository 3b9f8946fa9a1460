// cabmgr: packs folders into cabinets and unpacks, lists, tests and prints them, one CCabManager
// operation per run. Exit status: 0 success, 1 failure, 2 usage error.
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "driver/commands.h"
#include "driver/exit_status.h"
#include "platform/text.h"

int main(int argc, char **argv) {
    try {
        // The arguments are bytes; names that are not UTF-8 survive the lossless decoding.
        std::vector<std::wstring> args;
        for (int i = 1; i < argc; ++i)
            args.push_back(cab::AcpToWide(argv[i]));
        int status = cab::RunCommandLine(args);
        fflush(stdout);
        return status;
    } catch (const std::bad_alloc &) {
        fputs("cabmgr: out of memory\n", stderr);
        return cab::kExitFailure;
    }
}

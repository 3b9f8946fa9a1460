#include "platform/signals.h"

#include <signal.h>
#include <unistd.h>

#include <initializer_list>

void cab::CatchStopSignals(void (*pfnHandler)(int nSignal)) {
    struct sigaction action = {};
    action.sa_handler = pfnHandler;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int nSignal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction previous;
        if (sigaction(nSignal, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN)
            sigaction(nSignal, &action, nullptr);
    }
}

void cab::ExitBySignal(int nSignal) {
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(nSignal, &action, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, nSignal);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(nSignal);
    // A signal whose default action does not end the process: the status still tells.
    _exit(128 + nSignal);
}

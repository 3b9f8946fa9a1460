// The signals that ask a console program to stop: SIGINT (Ctrl-C), SIGTERM and SIGHUP.
#pragma once

namespace cab {

// From now on each stop signal calls pfnHandler with its number, on whichever thread the system
// picks, as a signal handler: it may only do what is safe there (store into a lock-free atomic).
// Interrupted system calls resume. A signal the process ignores (nohup) stays ignored.
void CatchStopSignals(void (*pfnHandler)(int nSignal));

// Ends the process by nSignal with its default action, so that the parent sees it ended by the
// signal (the shell's status 128 + nSignal) and a script running the program stops too.
[[noreturn]] void ExitBySignal(int nSignal);

}  // namespace cab

// SIGINT, SIGTERM and SIGHUP during an operation ask the manager to stop; it removes what it had
// not finished, and the tool then ends as the signal would have ended it.
#pragma once

class CCabManager;

namespace cab {

// From now on a stop signal sets the cancel flag of pManager. Call it again with null before the
// manager goes; a signal is remembered either way.
void CancelOnStopSignals(CCabManager *pManager);

// The last stop signal received, or 0.
int StopSignalReceived();

}  // namespace cab

// The programs that the service starts beside itself and ends at stop: the agent (mixer
// machines only), the companion started with the logon process's token, and the companions
// ended by image name.
//
// Threading: called by the start sequence and the stop path, which may overlap (a stop can
// come while the start is still running). A program that could not be started is reported
// to the event log; every other failure is silent.
#pragma once

#include <windows.h>

#include "common/locks.h"
#include "common/unique_resource.h"

namespace halvaro {

struct Companions {
  Lock agent_lock{LockRank::kLeaf};
  // The agent this service started, until the next stop takes it. Guarded by agent_lock, a
  // leaf (service/service_state.h).
  UniqueHandle agent_process;
};

// "Merrowin.exe" from the service's directory, with a primary copy of the token of the
// system's logon process in the console session (service/logon_process.h); launched with a
// null token when there is none.
void StartMerrowin();

// "Quenlit.exe" from the service's directory, as an ordinary child. Only this file can be
// started: the path is the application name, so no part of a path with spaces is tried as
// a program of its own.
void StartAgent(Companions& companions);

// Asks the agent's window to quit, then terminates every process named like one of the four
// companions (any letter case). The agent itself is never terminated. An agent that this
// service started and that has not made its window yet (a stop just after the start) is
// given up to 2 s to make it: it would otherwise outlive the service, and as the one agent
// it keeps every later agent from running. The agent is then given up to 2 s to end.
void StopCompanions(Companions& companions);

// Mixer machines: WM_QUIT to the window "CMIXERNOTIFYEVENT"/"MixerNotifyEvent", which a
// program outside this system owns.
void PostQuitToForeignMixerWindow();

}  // namespace halvaro

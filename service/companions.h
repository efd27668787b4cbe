// The programs that the service starts beside itself and ends at stop: the agent (mixer
// machines only), the companion started with the logon process's token, and the companions
// ended by image name.
//
// Threading: called only by the start sequence and the stop path, one at a time; the agent
// window is written here and read by nobody else. Every failure is silent.
#pragma once

#include <windows.h>

#include <atomic>

namespace halvaro {

struct Companions {
  std::atomic<HWND> agent_window{nullptr};  // what the last stop found
};

// "Merrowin.exe" from the service's directory, with a primary copy of the token of the
// system's logon process in the console session (service/logon_process.h); launched with a
// null token when there is none.
void StartMerrowin();

// "Quenlit.exe" from the service's directory, as an ordinary child. Only this file can be
// started: the path is the application name, so no part of a path with spaces is tried as
// a program of its own.
void StartAgent();

// Asks the agent's window to quit, then terminates every process named like one of the four
// companions (any letter case). The agent itself is never terminated.
void StopCompanions();

// Mixer machines: WM_QUIT to the window "CMIXERNOTIFYEVENT"/"MixerNotifyEvent", which a
// program outside this system owns.
void PostQuitToForeignMixerWindow();

}  // namespace halvaro

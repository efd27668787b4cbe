// The AV board's volume display kept in step with the master volume, whoever changed it:
// OnVolumeChanged sends each new percentage (0 while muted), at most once per
// "ComCmdTimeFrame" period, and OnDebounceTimer ends a period. On mixer machines
// MixerEventWaiter brings the agent's change signal to OnVolumeChanged.
//
// Threading: OnVolumeChanged runs on the monitor's notification threads (endpoint) or on the
// waiter thread (mixer); OnDebounceTimer on the service main thread. The fields they share
// are 32-bit atomics; the board exchanges serialise on the serial link's lock.
#pragma once

#include <windows.h>

#include <cstdint>

namespace halvaro {

uint32_t OnVolumeChanged(uint32_t raw_volume, uint32_t user_data);
void OnDebounceTimer();

// Sends the volume that the board must show now (0 while muted), as at start. Called by the
// start sequence and when the board's port is back; needs the monitor.
void SendCurrentVolume();

// Installs OnVolumeChanged on the endpoint backend, or creates the agent's event and starts
// MixerEventWaiter on the mixer backend.
void StartVolumeMirror();
// Removes the change callback and ends the waiter: once it returns, OnVolumeChanged is not
// called by the monitor or the waiter any more. False when the waiter did not end in time;
// the monitor must then be left to the end of the process.
bool StopVolumeMirror();

// The waiter's body: waits for the agent's event (1000 ms at a time) until stopped.
void MixerEventWaiter(HANDLE stop_event);

}  // namespace halvaro

// The first optical drive: eject on the hotkey, and the disc state mirrored to the AV board.
//
// Threading: CheckDiscPresent, PollDiscState and RefreshDiscState run on the service main
// thread only (start sequence, timer, power broadcast), which alone touches the disc state.
// EjectThread runs on a thread of its own per press.
#pragma once

#include <windows.h>

#include <cstdint>

namespace halvaro {

uint32_t EjectOpticalDrive();
DWORD WINAPI EjectThread(void* unused);
uint32_t CheckDiscPresent();

// Every 1000 ms: sends the state only when it changed.
void PollDiscState();
// At start and on resume: always sends the state.
void RefreshDiscState();

// Stores `checked` as the disc state; true when it must be sent to the board (always when
// `always`, otherwise only on a change).
bool UpdateDiscState(uint32_t* disc_state, uint32_t checked, bool always);

}  // namespace halvaro

// The first optical drive: eject on the hotkey, and the disc state mirrored to the AV board.
//
// Threading: CheckDiscPresent, PollDiscState and RefreshDiscState run on the service main
// thread only (start sequence, timer, power broadcast), which alone touches the disc state;
// their board exchange serialises on the serial link's lock. Each eject runs on a worker of
// OpticalDrive::eject_threads, which the stop path ends before it tears down; an eject in
// progress cannot be cancelled, only waited for.
#pragma once

#include <windows.h>

#include <cstdint>

#include "avboard/serial_link.h"
#include "common/worker_thread.h"

namespace halvaro {

// Ejects that may run at once; a press beyond them is dropped.
constexpr size_t kMostEjectThreads = 4;

struct OpticalDrive {
  uint32_t disc_state = 0;  // service main thread only
  WorkerGroup eject_threads{kMostEjectThreads};
};

uint32_t EjectOpticalDrive();
// The body of an eject thread: one eject; it cannot be cancelled.
void EjectThread(HANDLE stop_event);
// Starts one eject on a thread of its own; false when it could not be started.
bool StartEjectThread(OpticalDrive& drive);
uint32_t CheckDiscPresent();

// Both read the drive, store what they found as `drive.disc_state`, and send it to the board
// over `link` unless the board counts as absent.
// Every 1000 ms: sends the state only when it changed.
void PollDiscState(OpticalDrive& drive, SerialLink& link, bool board_present);
// At start, on resume and when the board's port is back: always sends the state.
void RefreshDiscState(OpticalDrive& drive, SerialLink& link, bool board_present);

}  // namespace halvaro

// The firmware's hotkey events through WMI: the connection, the notification query and
// EventThread, which stores each event's code and hands it to NotifySubscribers.
//
// Threading: StartEventListener may be called from several threads (the start sequence and
// the subscription pipe's connection threads); the listener critical section makes the
// check and the start one step, so at most one EventThread ever runs. StopEventListener
// runs on the stop path after the pipe servers have been stopped.
#pragma once

#include <windows.h>

#include <cstdint>

namespace halvaro {

constexpr DWORD kEventWaitMs = 1000;

uint32_t StartEventListener();
uint32_t ConnectWmi();       // caller holds the listener critical section
uint32_t StartEventQuery();  // caller holds the listener critical section
DWORD WINAPI EventThread(void* unused);

// Tells EventThread to end, waits for it (about one event wait at most), and only then
// releases the enumerator. Returns false when the thread did not end in time; the
// enumerator is then left to the end of the process.
bool StopEventListener();

}  // namespace halvaro

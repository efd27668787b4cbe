// The firmware's hotkey events through WMI: the connection, the notification query and
// EventThread, which stores each event's code and hands it to NotifySubscribers.
//
// Threading: StartEventListener may be called from several threads (the start sequence and
// the subscription pipe's connection threads); EventListener::lock makes the check and the
// start one step, so at most one EventThread ever runs. StopEventListener runs on the stop
// path after the pipe servers have been stopped.
#pragma once

#include <windows.h>
#include <wbemcli.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdint>

#include "common/worker_thread.h"

namespace halvaro {

constexpr DWORD kEventWaitMs = 1000;

struct EventListener {
  // Initialised by the start sequence, deleted by the stop path once no thread can enter it;
  // lock_ready says which.
  CRITICAL_SECTION lock{};
  std::atomic<bool> lock_ready{false};
  std::atomic<uint32_t> running{0};
  std::atomic<uint32_t> started{0};
  std::atomic<uint32_t> last_event_code{0};  // written by EventThread only
  Microsoft::WRL::ComPtr<IWbemLocator> locator;    // guarded by lock
  Microsoft::WRL::ComPtr<IWbemServices> services;  // guarded by lock
  // Set under lock before EventThread starts, then used by EventThread alone; released by
  // StopEventListener only after EventThread has ended.
  Microsoft::WRL::ComPtr<IEnumWbemClassObject> enumerator;
  WorkerThread thread;  // guarded by lock; its stop event is the listener's stop flag
};

uint32_t StartEventListener();
uint32_t ConnectWmi();       // caller holds the listener lock
uint32_t StartEventQuery();  // caller holds the listener lock
// The body of the event thread: waits for events until `stop_event` is set.
void EventThread(IEnumWbemClassObject* enumerator, HANDLE stop_event);

// Tells EventThread to end, waits for it (about one event wait at most), and only then
// releases the enumerator. Returns false when the thread did not end in time; the
// enumerator is then left to the end of the process.
bool StopEventListener();

}  // namespace halvaro

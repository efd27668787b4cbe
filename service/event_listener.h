// The firmware's hotkey events through WMI: the connection, the notification query and
// EventThread, which stores each event's code and hands it to NotifySubscribers.
//
// A connection that breaks (the provider restarted: `Next` fails, not by a time-out, several
// times in a row) is torn down and made again by EventThread itself, after a pause that
// grows with each failed attempt, and at once after a resume. A start that failed is tried
// again the same way by a retry thread, besides the subscribe command's own attempts.
// "CurrentServiceMode" says 1 only while events can arrive.
//
// Threading: StartEventListener is called by the start sequence and the retry thread;
// EventListener::lock makes the check and the start one step, so at most one EventThread
// ever runs. A client's subscribe does not start the listener on its own thread: it asks the
// retry thread and waits a bounded time (AwaitListenerForClient), so that no pipe thread
// makes WMI calls under the lock, and the stop's wait for the lock stays short. StopEventListener
// runs on the stop path after the pipe servers have been stopped. RequestListenerRestart may
// be called from any thread.
#pragma once

#include <windows.h>
#include <wbemcli.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdint>

#include "common/health_watch.h"
#include "common/locks.h"
#include "common/unique_resource.h"
#include "common/worker_thread.h"

namespace halvaro {

constexpr DWORD kEventWaitMs = 1000;
// `Next` failures in a row, time-outs aside, after which the connection counts as broken.
constexpr uint32_t kBrokenAfterFailures = 5;
// The pause before the first new attempt, doubled after each failed one up to the longest.
constexpr DWORD kFirstRestartPauseMs = 1000;
constexpr DWORD kLongestRestartPauseMs = 16000;

// One connection to the firmware's events.
struct WmiConnection {
  Microsoft::WRL::ComPtr<IWbemLocator> locator;
  Microsoft::WRL::ComPtr<IWbemServices> services;
  Microsoft::WRL::ComPtr<IEnumWbemClassObject> enumerator;
  // The call that failed last, and its result, for the event log.
  const wchar_t* failed_call = L"";
  HRESULT failure = S_OK;
};

struct EventListener {
  // Held by StartEventListener across its check and start, and by StopEventListener while
  // it ends EventThread and releases the connection.
  TimedLock lock{LockRank::kEventListener};
  // 1 from the first successful start on: an EventThread exists and keeps the connection
  // (or makes it again). Subscriptions are taken while it is 1.
  std::atomic<uint32_t> running{0};
  std::atomic<uint32_t> last_event_code{0};  // written by EventThread only
  // Guarded by lock while no EventThread runs; EventThread's alone while it runs (running is
  // 1 then, so StartEventListener leaves it alone). Released by StopEventListener only after
  // EventThread has ended.
  WmiConnection wmi;
  WorkerThread thread;  // guarded by lock; its stop event is the listener's stop flag
  // Tries a failed start again; the start and stop sequences only.
  WorkerThread start_retry;
  // Auto-reset; set at resume: a broken connection is made again at once.
  UniqueHandle restart_now{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
  // Whether events can arrive, as the event log has been told: noted by the starts and by
  // EventThread, which never run at once with a change to tell.
  HealthWatch health;
};

uint32_t StartEventListener();
// Each releases what `wmi` held first; 0 with nothing held on failure.
uint32_t ConnectWmi(WmiConnection& wmi);
uint32_t OpenEventQuery(WmiConnection& wmi);
// Opens the query on the listener's connection and starts EventThread. Caller holds the
// listener lock.
uint32_t StartEventQuery();
// The body of the event thread: waits for events until `stop_event` is set, and makes the
// connection again when it breaks.
void EventThread(HANDLE stop_event);

// The pause after `pause_ms`: doubled, at most kLongestRestartPauseMs.
DWORD NextRestartPause(DWORD pause_ms);

// Called by the start sequence when its start failed: keeps trying with a growing pause
// until a start succeeds or the stop comes.
void StartListenerRetry();
// A resume: a broken connection, or a failed start, is tried again at once.
void RequestListenerRestart();

// For a client's subscribe: asks the retry thread to try a failed start at once and waits up
// to `wait_ms` (less when the stop comes) for the listener to run; 1 when it runs. The WMI
// calls stay on the retry thread (or the start sequence), never on the client's thread.
uint32_t AwaitListenerForClient(DWORD wait_ms);

// Ends the retry thread, then tells EventThread to end, waits for it (about one event wait
// at most), and only then releases the connection. Returns false when a thread did not end
// in time; what it uses is then left to the end of the process.
bool StopEventListener();

}  // namespace halvaro

#include "service/event_listener.h"

#include <objbase.h>

#include <chrono>
#include <mutex>

#include "common/com_apartment.h"
#include "common/com_values.h"
#include "common/object_names.h"
#include "common/tick_deadline.h"
#include "service/event_code.h"
#include "service/event_log.h"
#include "service/event_messages.h"
#include "service/hotkey_actions.h"
#include "service/service_state.h"
#include "service/settings.h"
#include "service/subscribers.h"

namespace halvaro {

namespace {

using Microsoft::WRL::ComPtr;

// One event wait, plus time for the hotkey action of the event in hand.
constexpr DWORD kEventThreadStopWaitMs = kEventWaitMs + 2000;
// After a failure that is not a time-out (a broken connection fails at once, every time).
constexpr DWORD kEventFailurePauseMs = 100;
// How often a client waiting for the listener looks whether it runs.
constexpr DWORD kClientStartPollMs = 50;

enum class Wake { kStop, kRestart, kTimeout };

// Waits `ms` for the stop or a restart request.
Wake WaitStopOrRestart(HANDLE stop_event, DWORD ms) {
  HANDLE waits[] = {stop_event, Service().listener.restart_now.get()};
  const DWORD count = waits[1] ? 2 : 1;
  switch (WaitForMultipleObjects(count, waits, FALSE, ms)) {
    case WAIT_OBJECT_0:
      return Wake::kStop;
    case WAIT_OBJECT_0 + 1:
      return Wake::kRestart;
    case WAIT_TIMEOUT:
      return Wake::kTimeout;
    default:  // not a busy loop on a handle gone bad
      return WaitForSingleObject(stop_event, ms) == WAIT_OBJECT_0 ? Wake::kStop : Wake::kTimeout;
  }
}

// The enumerator first: it was made through the services, as they were through the locator.
void ReleaseWmi(WmiConnection& wmi) {
  wmi.enumerator.Reset();
  wmi.services.Reset();
  wmi.locator.Reset();
}

// Records a failed call of the connection; false, for the caller to return.
bool Failed(WmiConnection& wmi, const wchar_t* call, HRESULT result) {
  wmi.failed_call = call;
  wmi.failure = result;
  return false;
}

void ReportListenerRunning(EventListener& listener) {
  if (listener.health.Note(true) == HealthChange::kRecovered) LogEvent(MSG_LISTENER_RUNNING_AGAIN);
}

void DeliverEvent(ServiceState& s, IWbemClassObject* event) {
  UniqueVariant value;
  uint32_t code = 0;
  // An event whose code cannot be read carries nothing a client could use: it is dropped
  // rather than passed on with the previous event's code.
  if (SUCCEEDED(event->Get(kHotkeyCodeProperty, 0, value.get(), nullptr, nullptr)) &&
      EventCodeFromVariant(value.value(), &code)) {
    s.listener.last_event_code = code;
    // One path per code: the service's own keys first, the subscribers for the rest.
    if (HandleHotkey(code) != 1) NotifySubscribers(s.subscriptions);
  }
}

// Tears the broken connection down and makes it again, with a growing pause before each
// attempt (cut short by a resume). False when the stop came first.
bool Reconnect(ServiceState& s, HANDLE stop_event, uint32_t failures, HRESULT last_failure) {
  WmiConnection& wmi = s.listener.wmi;
  ReleaseWmi(wmi);
  WriteListenerStatus(0, s.av_board_present);
  if (s.listener.health.Note(false) == HealthChange::kFailed) {
    LogEvent(MSG_LISTENER_BROKEN, {EventNumber::Decimal(failures).c_str(),
                                   EventNumber::Hex(static_cast<uint32_t>(last_failure)).c_str()});
  }
  for (DWORD pause = kFirstRestartPauseMs;; pause = NextRestartPause(pause)) {
    if (WaitStopOrRestart(stop_event, pause) == Wake::kStop) return false;
    if (ConnectWmi(wmi) && OpenEventQuery(wmi)) break;
    ReleaseWmi(wmi);
  }
  WriteListenerStatus(1, s.av_board_present);
  ReportListenerRunning(s.listener);
  return true;
}

void ListenerRetryThread(HANDLE stop_event) {
  ComApartment apartment;  // its starts make the connection: COM on this thread
  for (DWORD pause = kFirstRestartPauseMs; !Service().listener.running;
       pause = NextRestartPause(pause)) {
    if (WaitStopOrRestart(stop_event, pause) == Wake::kStop) return;
    if (StartEventListener()) return;
  }
}

}  // namespace

DWORD NextRestartPause(DWORD pause_ms) {
  return pause_ms >= kLongestRestartPauseMs / 2 ? kLongestRestartPauseMs : pause_ms * 2;
}

uint32_t ConnectWmi(WmiConnection& wmi) {
  ReleaseWmi(wmi);
  HRESULT result = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER,
                                    IID_IWbemLocator,
                                    reinterpret_cast<void**>(wmi.locator.GetAddressOf()));
  if (FAILED(result)) {
    ReleaseWmi(wmi);
    return Failed(wmi, L"CoCreateInstance(WbemLocator)", result);
  }
  UniqueBstr wmi_namespace(kWmiNamespace);
  result = wmi.locator->ConnectServer(wmi_namespace.get(), nullptr, nullptr, nullptr, 0, nullptr,
                                      nullptr, wmi.services.GetAddressOf());
  if (FAILED(result)) {
    ReleaseWmi(wmi);
    return Failed(wmi, L"IWbemLocator::ConnectServer", result);
  }
  result = CoSetProxyBlanket(wmi.services.Get(), RPC_C_AUTHN_DEFAULT, RPC_C_AUTHZ_NONE, nullptr,
                             RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr,
                             EOAC_NONE);
  if (FAILED(result)) {
    ReleaseWmi(wmi);
    return Failed(wmi, L"CoSetProxyBlanket", result);
  }
  return 1;
}

uint32_t OpenEventQuery(WmiConnection& wmi) {
  wmi.enumerator.Reset();
  if (!wmi.services) return 0;
  UniqueBstr language(kWmiQueryLanguage);
  UniqueBstr query(kHotkeyEventQuery);
  const HRESULT result = wmi.services->ExecNotificationQuery(
      language.get(), query.get(), WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY,
      nullptr, wmi.enumerator.GetAddressOf());
  if (FAILED(result)) {
    wmi.enumerator.Reset();
    return Failed(wmi, L"IWbemServices::ExecNotificationQuery", result);
  }
  return 1;
}

uint32_t StartEventQuery() {
  EventListener& s = Service().listener;
  if (!OpenEventQuery(s.wmi)) return 0;
  // A thread that cannot be created leaves the listener counted as running, without events.
  s.thread.Start(EventThread);
  return 1;
}

uint32_t StartEventListener() {
  ServiceState& service = Service();
  EventListener& s = service.listener;
  const wchar_t* failed_call = L"";
  HRESULT failure = S_OK;
  {
    std::lock_guard<TimedLock> guard(s.lock);
    if (s.running) return 1;
    if (ConnectWmi(s.wmi) && StartEventQuery()) {
      s.running = 1;
    } else {
      failed_call = s.wmi.failed_call;
      failure = s.wmi.failure;
      ReleaseWmi(s.wmi);
    }
  }
  WriteListenerStatus(s.running, service.av_board_present);
  if (s.running) {
    ReportListenerRunning(s);
  } else if (s.health.Note(false) == HealthChange::kFailedAtFirst) {
    LogEvent(MSG_LISTENER_NOT_STARTED,
             {failed_call, EventNumber::Hex(static_cast<uint32_t>(failure)).c_str()});
  }
  return s.running;
}

void EventThread(HANDLE stop_event) {
  ServiceState& s = Service();
  EventListener& listener = s.listener;
  ComApartment apartment;  // the connection lives in the multithreaded apartment
  uint32_t failures = 0;
  HRESULT last_failure = S_OK;
  while (WaitForSingleObject(stop_event, 0) == WAIT_TIMEOUT) {
    if (failures >= kBrokenAfterFailures) {
      if (!Reconnect(s, stop_event, failures, last_failure)) return;
      failures = 0;
      continue;
    }
    ComPtr<IWbemClassObject> event;
    ULONG returned = 0;
    const HRESULT result =
        listener.wmi.enumerator->Next(kEventWaitMs, 1, event.GetAddressOf(), &returned);
    if (FAILED(result)) {
      ++failures;
      last_failure = result;
      // A resume while the connection fails: made again at once.
      if (WaitStopOrRestart(stop_event, kEventFailurePauseMs) == Wake::kRestart) {
        failures = kBrokenAfterFailures;
      }
      continue;
    }
    failures = 0;
    // A working connection is never made again: a resume's request is let go.
    if (listener.restart_now) ResetEvent(listener.restart_now.get());
    if (result == WBEM_S_TIMEDOUT) continue;
    if (returned == 0 || !event) {
      // A success with nothing returned (WBEM_S_FALSE): an immediate retry would spin a
      // core for as long as the provider answers that way.
      WaitForSingleObject(stop_event, kEventFailurePauseMs);
      continue;
    }
    DeliverEvent(s, event.Get());
  }
}

void StartListenerRetry() { Service().listener.start_retry.Start(ListenerRetryThread); }

uint32_t AwaitListenerForClient(DWORD wait_ms) {
  ServiceState& s = Service();
  if (s.listener.running) return 1;
  RequestListenerRestart();  // the retry thread tries at once
  const TickDeadline deadline = TickDeadline::After(wait_ms);
  while (!s.listener.running && !s.lifecycle.stopping && !deadline.Passed()) {
    Sleep(kClientStartPollMs);
  }
  return s.listener.running;
}

void RequestListenerRestart() {
  EventListener& s = Service().listener;
  if (s.restart_now) SetEvent(s.restart_now.get());
}

bool StopEventListener() {
  EventListener& s = Service().listener;
  // The retry may be in a start, which takes the lock.
  if (!s.start_retry.Stop(kEventThreadStopWaitMs)) return false;
  // Nothing else takes the lock by now (the start sequence has ended, and client requests
  // leave the starts to the retry thread); the wait is bounded all the same.
  std::unique_lock<TimedLock> held(s.lock, std::defer_lock);
  if (!held.try_lock_for(std::chrono::milliseconds(kEventThreadStopWaitMs))) return false;
  const bool ended = s.thread.Stop(kEventThreadStopWaitMs);
  if (ended) ReleaseWmi(s.wmi);
  return ended;
}

}  // namespace halvaro

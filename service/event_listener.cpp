#include "service/event_listener.h"

#include <objbase.h>

#include "common/com_apartment.h"
#include "common/com_values.h"
#include "common/critical_section_guard.h"
#include "common/object_names.h"
#include "service/event_code.h"
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

void ReleaseWmi(EventListener& listener) {
  listener.services.Reset();
  listener.locator.Reset();
}

}  // namespace

uint32_t ConnectWmi() {
  EventListener& s = Service().listener;
  ReleaseWmi(s);
  const HRESULT security =
      CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                           RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
  if (FAILED(security) && security != RPC_E_TOO_LATE) return 0;

  if (FAILED(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER,
                              IID_IWbemLocator, reinterpret_cast<void**>(s.locator.GetAddressOf())))) {
    ReleaseWmi(s);
    return 0;
  }
  UniqueBstr wmi_namespace(kWmiNamespace);
  if (FAILED(s.locator->ConnectServer(wmi_namespace.get(), nullptr, nullptr, nullptr, 0,
                                          nullptr, nullptr, s.services.GetAddressOf()))) {
    ReleaseWmi(s);
    return 0;
  }
  if (FAILED(CoSetProxyBlanket(s.services.Get(), RPC_C_AUTHN_DEFAULT, RPC_C_AUTHZ_NONE,
                               nullptr, RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE,
                               nullptr, EOAC_NONE))) {
    ReleaseWmi(s);
    return 0;
  }
  return 1;
}

uint32_t StartEventQuery() {
  EventListener& s = Service().listener;
  if (!s.services) return 0;
  UniqueBstr language(kWmiQueryLanguage);
  UniqueBstr query(kHotkeyEventQuery);
  ComPtr<IEnumWbemClassObject> enumerator;
  const HRESULT result = s.services->ExecNotificationQuery(
      language.get(), query.get(), WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY,
      nullptr, enumerator.GetAddressOf());
  if (FAILED(result)) return 0;

  s.enumerator = enumerator;
  // A thread that cannot be created leaves the listener counted as running, without events.
  IEnumWbemClassObject* events = s.enumerator.Get();
  s.thread.Start([events](HANDLE stop_event) { EventThread(events, stop_event); });
  return 1;
}

uint32_t StartEventListener() {
  ServiceState& service = Service();
  EventListener& s = service.listener;
  {
    CriticalSectionGuard guard(s.lock);
    if (s.running) {
      s.started = 1;
      return 1;
    }
    if (ConnectWmi() && StartEventQuery()) {
      s.running = 1;
      s.started = 1;
    }
  }
  WriteListenerStatus(s.running, service.av_board_present);
  return s.running;
}

void EventThread(IEnumWbemClassObject* enumerator, HANDLE stop_event) {
  ServiceState& s = Service();
  ComApartment apartment;  // the enumerator lives in the multithreaded apartment
  while (WaitForSingleObject(stop_event, 0) == WAIT_TIMEOUT) {
    ComPtr<IWbemClassObject> event;
    ULONG returned = 0;
    const HRESULT result = enumerator->Next(kEventWaitMs, 1, event.GetAddressOf(), &returned);
    if (result == WBEM_S_TIMEDOUT) continue;
    if (returned == 0 || !event) {
      // A failure, or a success with nothing returned (WBEM_S_FALSE): an immediate retry
      // would spin a core for as long as the provider answers that way.
      WaitForSingleObject(stop_event, kEventFailurePauseMs);
      continue;
    }
    UniqueVariant value;
    uint32_t code = 0;
    // An event whose code cannot be read carries nothing a client could use: it is dropped
    // rather than passed on with the previous event's code.
    if (SUCCEEDED(event->Get(kHotkeyCodeProperty, 0, value.get(), nullptr, nullptr)) &&
        EventCodeFromVariant(value.value(), &code)) {
      s.listener.last_event_code = code;
      NotifySubscribers(s.subscriptions, code);
    }
  }
}

bool StopEventListener() {
  EventListener& s = Service().listener;
  if (!s.lock_ready) return true;  // never started: nothing to wait for
  CriticalSectionGuard guard(s.lock);
  if (!s.thread.Stop(kEventThreadStopWaitMs)) return false;
  s.enumerator.Reset();
  return true;
}

}  // namespace halvaro

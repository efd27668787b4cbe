#include "service/event_listener.h"

#include <objbase.h>
#include <oleauto.h>

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

class ScopedVariant {
 public:
  ScopedVariant() { VariantInit(&value_); }
  ~ScopedVariant() { VariantClear(&value_); }
  ScopedVariant(const ScopedVariant&) = delete;
  ScopedVariant& operator=(const ScopedVariant&) = delete;
  VARIANT* get() { return &value_; }

 private:
  VARIANT value_;
};

class Bstr {
 public:
  explicit Bstr(const wchar_t* text) : value_(SysAllocString(text)) {}
  ~Bstr() { SysFreeString(value_); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  BSTR get() const { return value_; }

 private:
  BSTR value_;
};

void ReleaseWmi(ServiceState& s) {
  s.wmi_services.Reset();
  s.wmi_locator.Reset();
}

}  // namespace

uint32_t ConnectWmi() {
  ServiceState& s = Service();
  ReleaseWmi(s);
  const HRESULT security =
      CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                           RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
  if (FAILED(security) && security != RPC_E_TOO_LATE) return 0;

  if (FAILED(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER,
                              IID_IWbemLocator, reinterpret_cast<void**>(s.wmi_locator.GetAddressOf())))) {
    ReleaseWmi(s);
    return 0;
  }
  Bstr wmi_namespace(L"ROOT\\WMI");
  if (FAILED(s.wmi_locator->ConnectServer(wmi_namespace.get(), nullptr, nullptr, nullptr, 0,
                                          nullptr, nullptr, s.wmi_services.GetAddressOf()))) {
    ReleaseWmi(s);
    return 0;
  }
  if (FAILED(CoSetProxyBlanket(s.wmi_services.Get(), RPC_C_AUTHN_DEFAULT, RPC_C_AUTHZ_NONE,
                               nullptr, RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE,
                               nullptr, EOAC_NONE))) {
    ReleaseWmi(s);
    return 0;
  }
  return 1;
}

uint32_t StartEventQuery() {
  ServiceState& s = Service();
  if (!s.wmi_services) return 0;
  Bstr language(L"WQL");
  Bstr query(L"Select * from Acpi_OSD_event");
  ComPtr<IEnumWbemClassObject> enumerator;
  const HRESULT result = s.wmi_services->ExecNotificationQuery(
      language.get(), query.get(), WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY,
      nullptr, enumerator.GetAddressOf());
  if (FAILED(result)) return 0;

  s.event_enumerator = enumerator;
  s.listener_stop = 0;
  // The handle is kept so that the stop can wait for the thread. A thread that cannot be
  // created leaves the listener counted as running, without events.
  s.event_thread.reset(CreateThread(nullptr, 0, EventThread, nullptr, 0, nullptr));
  return 1;
}

uint32_t StartEventListener() {
  ServiceState& s = Service();
  EnterCriticalSection(&s.listener_lock);
  if (s.listener_running) {
    s.listener_started = 1;
    LeaveCriticalSection(&s.listener_lock);
    return 1;
  }
  if (ConnectWmi() && StartEventQuery()) {
    s.listener_running = 1;
    s.listener_started = 1;
  }
  LeaveCriticalSection(&s.listener_lock);
  WriteListenerStatus();
  return s.listener_running;
}

DWORD WINAPI EventThread(void*) {
  ServiceState& s = Service();
  IEnumWbemClassObject* enumerator = s.event_enumerator.Get();
  while (!s.listener_stop) {
    ComPtr<IWbemClassObject> event;
    ULONG returned = 0;
    const HRESULT result = enumerator->Next(kEventWaitMs, 1, event.GetAddressOf(), &returned);
    if (result == WBEM_S_TIMEDOUT) continue;
    if (returned == 0 || !event) {
      if (FAILED(result)) Sleep(kEventFailurePauseMs);
      continue;
    }
    ScopedVariant value;
    uint32_t code = 0;
    // An event whose code cannot be read carries nothing a client could use: it is dropped
    // rather than passed on with the previous event's code.
    if (SUCCEEDED(event->Get(L"EC_RAM_Data_1", 0, value.get(), nullptr, nullptr)) &&
        EventCodeFromVariant(*value.get(), &code)) {
      s.last_event_code = code;
      NotifySubscribers();
    }
  }
  return 0;
}

bool StopEventListener() {
  ServiceState& s = Service();
  s.listener_stop = 1;
  HANDLE thread = nullptr;
  if (s.listener_lock_ready) {
    EnterCriticalSection(&s.listener_lock);
    thread = s.event_thread.get();
    LeaveCriticalSection(&s.listener_lock);
  }
  if (thread && WaitForSingleObject(thread, kEventThreadStopWaitMs) != WAIT_OBJECT_0) {
    return false;
  }
  s.event_enumerator.Reset();
  return true;
}

}  // namespace halvaro

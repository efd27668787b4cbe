// The one process-wide record of the service.
//
// Threading: single 32-bit fields (flags, settings, codes) are read and written whole; those
// written by one thread while others run are std::atomic. Every other shared field names the
// lock that guards it. Settings are written once by the start sequence before it creates any
// thread and only read afterwards.
#pragma once

#include <windows.h>
#include <wbemcli.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "avboard/serial_link.h"
#include "common/pipe_server.h"
#include "common/unique_resource.h"

namespace halvaro {

constexpr wchar_t kServiceName[] = L"Orva WMI Service";

using StatusSink = BOOL(WINAPI*)(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS);
using HotkeyCallback = uint32_t (*)(uint32_t event_code);

struct Subscriber {
  uint32_t process_id = 0;
  UniqueHandle wake;     // "Global\ORVAWMIEMA_%x", never empty in the list
  UniqueHandle removal;  // "Global\ORVAWMIEMA_RM_%x", may be empty
};

struct ServiceState {
  // --- Service host ---
  std::mutex status_lock;
  SERVICE_STATUS status{};                       // guarded by status_lock
  SERVICE_STATUS_HANDLE status_handle = nullptr;  // set once before the first report
  uint32_t checkpoint = 1;                       // guarded by status_lock; never reset
  StatusSink status_sink = &::SetServiceStatus;  // where reports go; set before the first one

  HWND hidden_window = nullptr;  // created on the service main thread before the start sequence
  uint32_t volume_range = 65535;
  std::atomic<uint32_t> av_board_present{1};
  std::atomic<HotkeyCallback> hotkey_callback{nullptr};

  // --- Settings, written by ReadSettings before any thread starts ---
  uint32_t max_subscribers = 1;  // "EMAMaxRegister", at least 1
  uint32_t com_port = 1;         // "ComPort"
  uint32_t baud_rate = 9600;     // "BuadRate"
  uint32_t cmd_time_frame = 0;   // "ComCmdTimeFrame", milliseconds
  std::atomic<uint32_t> av_mode{0};

  // --- AV board and optical drive ---
  SerialLink serial_link;   // its own lock serialises every exchange
  uint32_t disc_state = 0;  // service main thread only

  // --- Start and stop ---
  std::timed_mutex lifecycle_lock;    // held by StartSequence; StopSequence waits for it
  std::atomic<bool> stopping{false};  // set first by the stop path; the start sequence
                                      // leaves out the steps that remain
  // Set when the stop path has finished. The dispatcher may return as soon as the service
  // reports itself stopped, before the clean-up that follows; wmain waits for this.
  UniqueHandle stop_done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};

  // --- Event listener ---
  CRITICAL_SECTION listener_lock{};  // serialises StartEventListener
  bool listener_lock_ready = false;  // written by the start and stop sequences only
  std::atomic<uint32_t> listener_running{0};
  std::atomic<uint32_t> listener_started{0};
  std::atomic<uint32_t> listener_stop{0};
  std::atomic<uint32_t> last_event_code{0};  // written by EventThread only
  Microsoft::WRL::ComPtr<IWbemLocator> wmi_locator;    // guarded by listener_lock
  Microsoft::WRL::ComPtr<IWbemServices> wmi_services;  // guarded by listener_lock
  // Set under listener_lock before EventThread starts, then used by EventThread alone;
  // released by StopSequence only after EventThread has ended.
  Microsoft::WRL::ComPtr<IEnumWbemClassObject> event_enumerator;
  UniqueHandle event_thread;  // guarded by listener_lock; waited for by StopSequence

  // --- Subscriptions ---
  std::mutex subscribers_lock;
  std::vector<Subscriber> subscribers;  // guarded by subscribers_lock; oldest first
  UniqueHandle subscription_mutex;      // "Global\OrvaEMASrv_Mux", kept for the process
  PipeServer subscription_pipe;         // started by the start sequence, stopped by the stop
};

// The service's record. It is never destroyed: threads that the stop path does not end (a
// shutdown ends none) may use it until the process is gone.
ServiceState& Service();

}  // namespace halvaro

// The one process-wide record of the service.
//
// Threading: single 32-bit fields (flags, settings, codes) are read and written whole; those
// written by one thread while others run are std::atomic. Every other shared field names the
// lock that guards it. Settings are written once by the start sequence before it creates any
// thread and only read afterwards.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "avboard/serial_link.h"

namespace halvaro {

constexpr wchar_t kServiceName[] = L"Orva WMI Service";

using StatusSink = BOOL(WINAPI*)(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS);
using HotkeyCallback = uint32_t (*)(uint32_t event_code);

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

  // --- Event listener ---
  CRITICAL_SECTION listener_lock{};  // serialises StartEventListener
  bool listener_lock_ready = false;  // written by the start and stop sequences only
  std::atomic<uint32_t> listener_running{0};
};

// The service's record. Lives for the whole process.
ServiceState& Service();

}  // namespace halvaro

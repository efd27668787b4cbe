// Quenlit: watches the master volume and mute through the mixer and sets the service's event
// at every change, so that the service reads the volume itself and updates the AV board.
// Runs only a hidden window; WM_QUIT to it (or its closing) ends the program.
//
// Threading: the main thread runs the window; the monitor's mixer window thread calls the
// change callback, which uses the event handle (and opens it when it is still missing). The
// main thread closes the handle only after the monitor, and with it that thread, is gone.
#include <windows.h>

#include <atomic>
#include <memory>

#include "agent/agent_window.h"
#include "common/object_names.h"
#include "common/system_access.h"
#include "common/unique_resource.h"
#include "volume/volume_monitor.h"

namespace {

using halvaro::UniqueHandle;

// The service's event. Opened by the main thread before the callback is installed, or, when
// the service had not made it yet, by the callback at a later change; closed by the main
// thread once the monitor, and with it the callback's thread, is gone.
std::atomic<HANDLE> g_service_event{nullptr};

HANDLE OpenServiceEvent() {
  return OpenEventW(EVENT_ALL_ACCESS, FALSE, halvaro::kMixerNotifyEventName);
}

uint32_t OnMixerChange(uint32_t, uint32_t) {
  HANDLE event = g_service_event.load();
  // An agent that started before the service made its event (or outlived an earlier
  // service) would otherwise never wake any service, and keeps later agents from running.
  if (!event && (event = OpenServiceEvent()) != nullptr) g_service_event = event;
  if (event) SetEvent(event);
  return 0;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  // Held until the process ends: it keeps a second agent from starting. Only the system may
  // change it. One that another account made first is not an agent's: this one runs anyway
  // (it had kept the agent from ever running).
  halvaro::SystemOnlyAttributes security;
  UniqueHandle instance_mutex(
      CreateMutexW(security.get(), FALSE, halvaro::kMixerNotifyMutexName));
  const DWORD mutex_error = GetLastError();
  if (mutex_error == ERROR_ALREADY_EXISTS && halvaro::OwnedBySystemOrSelf(instance_mutex.get())) {
    return 0;  // another agent runs
  }

  std::unique_ptr<halvaro::VolumeMonitor> monitor;
  if (halvaro::SystemUsesMixer()) {
    monitor = std::make_unique<halvaro::VolumeMonitor>();
    if (monitor->kind() == halvaro::kMixerBackend) {
      g_service_event = OpenServiceEvent();
      monitor->SetChangeCallback(OnMixerChange, 0);
    }
  }

  WPARAM exit_code = 0;
  if (halvaro::UniqueWindow window = halvaro::CreateAgentWindow(instance)) {
    exit_code = halvaro::RunAgentMessageLoop();
  }

  // The monitor first: it ends the mixer window thread that calls back, then the event.
  monitor.reset();
  UniqueHandle service_event(g_service_event.exchange(nullptr));
  return static_cast<int>(exit_code);
}

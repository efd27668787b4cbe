#include "service/volume_mirror.h"

#include "avboard/av_commands.h"
#include "common/object_names.h"
#include "common/service_problem.h"
#include "common/system_access.h"
#include "service/hidden_window.h"
#include "service/service_state.h"
#include "service/status_report.h"

namespace halvaro {

namespace {

constexpr DWORD kMixerEventWaitMs = 1000;
// The waiter is between two short waits; its OnVolumeChanged may be in one board exchange.
constexpr DWORD kWaiterStopWaitMs = kMixerEventWaitMs + kTransferTimeoutMs + 1000;

void SendVolumeIfBoard(ServiceState& s, uint32_t percent) {
  if (s.av_board_present) SendVolume(s.serial_link, percent);
}

}  // namespace

uint32_t OnVolumeChanged(uint32_t raw, uint32_t) {
  ServiceState& s = Service();
  ServiceVolume& v = s.volume;
  VolumeMonitor* monitor = v.Monitor();
  const uint32_t mute = monitor ? monitor->IsMuted() : 0;
  const uint32_t percent = PercentFromRaw(raw, v.range);
  // A volume key sets current_percent before it changes the level (ApplyVolumeKey), so its
  // own change comes back here as unchanged and sends nothing.
  const uint32_t previous = v.current_percent.exchange(percent);

  if (mute == 1) {  // every change while muted shows 0, debounce or not
    SendVolumeIfBoard(s, 0);
    v.last_mute = 1;
    return 0;
  }
  const bool unchanged = percent == previous && v.last_mute != 1;
  if (!unchanged && !v.debounce_running) {
    SendVolumeIfBoard(s, percent);
    if (const uint32_t period = s.settings.cmd_time_frame; period != 0) {
      v.debounce_start_percent = v.current_percent.load();
      v.debounce_running = 1;
      SetTimer(s.lifecycle.hidden_window, kDebounceTimerId, period, nullptr);
    }
  }
  v.last_mute = mute;
  return 0;
}

void SendCurrentVolume() {
  ServiceState& s = Service();
  VolumeMonitor* monitor = s.volume.Monitor();
  if (!monitor) return;
  const bool muted = monitor->IsMuted() != 0;
  SendVolumeIfBoard(s, muted ? 0 : s.volume.current_percent.load());
}

void OnDebounceTimer() {
  ServiceState& s = Service();
  ServiceVolume& v = s.volume;
  v.debounce_running = 0;
  KillTimer(s.lifecycle.hidden_window, kDebounceTimerId);  // one expiry per period
  const uint32_t percent = v.current_percent;
  if (percent != v.debounce_start_percent) SendVolumeIfBoard(s, percent);
}

void MixerEventWaiter(HANDLE stop_event) {
  ServiceVolume& v = Service().volume;
  HANDLE waits[] = {stop_event, v.mixer_notify_event.get()};
  for (;;) {
    const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, kMixerEventWaitMs);
    if (woke == WAIT_OBJECT_0) return;
    if (woke == WAIT_FAILED) {
      // Not a busy loop on a handle gone bad: wait out the period on the stop event alone.
      if (WaitForSingleObject(stop_event, kMixerEventWaitMs) == WAIT_OBJECT_0) return;
      continue;
    }
    if (woke != WAIT_OBJECT_0 + 1) continue;  // time-out
    if (VolumeMonitor* monitor = v.Monitor()) OnVolumeChanged(monitor->GetVolume(), 0);
  }
}

void StartVolumeMirror() {
  ServiceState& s = Service();
  ServiceVolume& v = s.volume;
  if (!v.monitor) return;
  switch (v.monitor_kind.load()) {
    case kEndpointBackend:
      v.monitor->SetChangeCallback(OnVolumeChanged, 0);
      break;
    case kMixerBackend: {
      // Only the system may set it. One that another account made first is used as before
      // (the agent sets whichever exists), and the service's status says so.
      SystemOnlyAttributes security;
      v.mixer_notify_event.reset(CreateEventW(security.get(), FALSE, FALSE, kMixerNotifyEventName));
      const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
      if (existed && v.mixer_notify_event && !OwnedBySystemOrSelf(v.mixer_notify_event.get())) {
        ReportServiceProblem(s.status, kForeignMixerEventProblem);
      }
      // Without the event every wait would fail at once: no waiter then.
      if (v.mixer_notify_event) v.mixer_event_waiter.Start(MixerEventWaiter);
      break;
    }
    default:
      break;
  }
}

bool StopVolumeMirror() {
  ServiceVolume& v = Service().volume;
  if (v.monitor) v.monitor->SetChangeCallback(nullptr, 0);
  return v.mixer_event_waiter.Stop(kWaiterStopWaitMs);
}

}  // namespace halvaro

#include "service/hotkey_actions.h"

#include <windows.h>

#include "avboard/av_commands.h"
#include "service/optical_drive.h"
#include "service/service_state.h"
#include "service/settings.h"

namespace halvaro {

namespace {

constexpr DWORD kKeeperStopWaitMs = 2000;

// The common tail of both volume keys: the board first, then the level.
uint32_t ApplyVolumeKey(ServiceState& s, uint32_t percent) {
  ServiceVolume& v = s.volume;
  if (s.av_board_present) SendHotkeyVolume(s.serial_link, percent);
  v.current_percent = percent;
  VolumeMonitor* monitor = v.monitor.get();
  if (!monitor) return 1;
  if (v.monitor_kind == kMixerBackend && monitor->IsMuted() != 0) monitor->Unmute();
  monitor->SetVolume(RawFromPercent(percent, v.range));  // the endpoint unmutes here
  return 1;
}

uint32_t VolumeKey(ServiceState& s, bool up) {
  ServiceVolume& v = s.volume;
  const uint32_t raw = v.monitor ? v.monitor->GetVolume() : 0;
  uint32_t percent = PercentFromRaw(raw, v.range);
  v.current_percent = percent;
  if (up) {
    if (percent == 100) return 0;
    if (percent < 100) ++percent;  // above 100 (raw beyond the range) it stays
  } else {
    if (percent == 0) return 0;
    --percent;
  }
  return ApplyVolumeKey(s, percent);
}

// The keep-awake request lasts while the thread that made it lives.
void KeepAwake(HANDLE stop_event) {
  SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED | ES_DISPLAY_REQUIRED);
  WaitForSingleObject(stop_event, INFINITE);
  SetThreadExecutionState(ES_CONTINUOUS);
}

void SetAvMode(ServiceState& s, bool on) {
  if ((s.settings.av_mode != 0) == on) return;  // already so: nothing written or asked
  s.settings.av_mode = on ? 1 : 0;
  WriteAvMode(s.settings.av_mode);
  if (on) {
    s.volume.awake_keeper.Start(KeepAwake);
  } else {
    s.volume.awake_keeper.Stop(kKeeperStopWaitMs);
  }
}

}  // namespace

uint32_t HandleHotkey(uint32_t code) {
  ServiceState& s = Service();
  switch (code) {
    case kVolumeUpCode:
      return VolumeKey(s, /*up=*/true);
    case kVolumeDownCode:
      return VolumeKey(s, /*up=*/false);
    case kAvModeOnCode:
      SetAvMode(s, true);
      return 0;
    case kAvModeOffCode:
      SetAvMode(s, false);
      return 0;
    case kEjectCode:
      StartEjectThread(s.drive);  // returns at once; a press beyond the running ejects drops
      return 1;
    default:
      return 0;
  }
}

void ReleaseKeepAwake() { Service().volume.awake_keeper.Stop(kKeeperStopWaitMs); }

}  // namespace halvaro

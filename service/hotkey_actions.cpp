#include "service/hotkey_actions.h"

#include <windows.h>

#include "avboard/av_commands.h"
#include "service/optical_drive.h"
#include "service/service_state.h"
#include "service/settings.h"

namespace halvaro {

namespace {

constexpr DWORD kKeeperStopWaitMs = 2000;

// The common tail of both volume keys: the board first, then the level. A level that the
// system refuses is corrected on the board with the level in force.
uint32_t ApplyVolumeKey(ServiceState& s, VolumeMonitor& monitor, uint32_t percent) {
  ServiceVolume& v = s.volume;
  if (s.av_board_present) SendHotkeyVolume(s.serial_link, percent);
  // Set before the level: the endpoint reports the key's own change back to the volume
  // mirror (OnVolumeChanged), which finds this percentage already there and sends nothing,
  // so the board gets the key's Hotkey volume frame alone.
  v.current_percent = percent;
  if (v.monitor_kind == kMixerBackend && monitor.IsMuted() != 0) monitor.Unmute();
  if (monitor.SetVolume(RawFromPercent(percent, v.range))) return 1;  // the endpoint unmutes
  const uint32_t in_force = PercentFromRaw(monitor.GetVolume(), v.range);
  v.current_percent = in_force;
  if (s.av_board_present && in_force != percent) SendHotkeyVolume(s.serial_link, in_force);
  return 1;
}

// Before the start has made the volume monitor there is no level to change: the key is taken
// and does nothing (no client is woken, nothing goes to the board).
uint32_t VolumeKey(ServiceState& s, bool up) {
  ServiceVolume& v = s.volume;
  VolumeMonitor* monitor = v.Monitor();
  if (!monitor) return 1;
  uint32_t percent = PercentFromRaw(monitor->GetVolume(), v.range);
  v.current_percent = percent;
  if (up) {
    if (percent == 100) return 0;
    if (percent < 100) ++percent;  // above 100 (raw beyond the range) it stays
  } else {
    if (percent == 0) return 0;
    --percent;
  }
  return ApplyVolumeKey(s, *monitor, percent);
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
    s.av_mode.awake_keeper.Start(KeepAwake);
  } else {
    s.av_mode.awake_keeper.Stop(kKeeperStopWaitMs);
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

void ReleaseKeepAwake() { Service().av_mode.awake_keeper.Stop(kKeeperStopWaitMs); }

}  // namespace halvaro

// SimMixer.exe: the test's hand on the simulated mixer behind winmm.dll. It changes the shared
// state directly, as the device's driver would, and posts the change notifications itself.
//
//   SimMixer volume <n>                 set the volume value (not range-checked)
//   SimMixer mute on|off
//   SimMixer bounds <min> <max>         the volume control's range
//   SimMixer devices <n>                how many mixer devices there are (0..16)
//   SimMixer controls both|volume-only|mute-only|no-speakers
//   SimMixer spurious handle|control    notifications that programs must ignore
//   SimMixer delay open|close <ms> [image]   later mixerOpen or mixerClose calls take that
//                                       long: in every program, or only in that one
//   SimMixer status                     key=value lines
//   SimMixer reset                      defaults and zero counters
//
// Numbers are decimal, or hexadecimal after 0x. Exit code: 0 done, 1 failed, 2 bad usage.
#include <windows.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <optional>

#include "sim/common/parse_number.h"
#include "sim/mixer/mixer_layout.h"
#include "sim/mixer/notify.h"
#include "sim/mixer/open_table.h"
#include "sim/mixer/shared_state.h"

namespace {

using simmixer::StateRecord;

constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kBadUsage = 2;

int Usage() {
  std::fwprintf(stderr,
                L"usage: SimMixer volume <n>\n"
                L"       SimMixer mute on|off\n"
                L"       SimMixer bounds <min> <max>\n"
                L"       SimMixer devices <n>\n"
                L"       SimMixer controls both|volume-only|mute-only|no-speakers\n"
                L"       SimMixer spurious handle|control\n"
                L"       SimMixer delay open|close <ms> [image]\n"
                L"       SimMixer status\n"
                L"       SimMixer reset\n");
  return kBadUsage;
}


enum class Action {
  kVolume, kMute, kBounds, kDevices, kControls, kSpurious, kDelay, kStatus, kReset
};

struct Command {
  Action action;
  uint32_t first = 0;
  uint32_t second = 0;
  simmixer::ControlsMode mode = simmixer::ControlsMode::kBoth;
  simmixer::Spurious spurious = simmixer::Spurious::kWrongHandle;
  bool close = false;          // delay: of mixerClose rather than mixerOpen
  const wchar_t* image = L"";  // delay: the one program it holds for; empty for all
};

// The whole command line is checked before the shared state is touched.
std::optional<Command> Parse(int argc, wchar_t** argv) {
  if (argc < 2) return std::nullopt;
  const wchar_t* verb = argv[1];
  const int operands = argc - 2;
  auto is = [verb](const wchar_t* name) { return std::wcscmp(verb, name) == 0; };
  std::optional<uint32_t> a, b;
  if (is(L"volume") && operands == 1 && (a = simcom::ParseNumber(argv[2]))) {
    return Command{Action::kVolume, *a};
  }
  if (is(L"mute") && operands == 1) {
    if (std::wcscmp(argv[2], L"on") == 0) return Command{Action::kMute, 1};
    if (std::wcscmp(argv[2], L"off") == 0) return Command{Action::kMute, 0};
    return std::nullopt;
  }
  if (is(L"bounds") && operands == 2 && (a = simcom::ParseNumber(argv[2])) &&
      (b = simcom::ParseNumber(argv[3]))) {
    return Command{Action::kBounds, *a, *b};
  }
  if (is(L"devices") && operands == 1 && (a = simcom::ParseNumber(argv[2])) &&
      *a <= simmixer::kMaxDevices) {
    return Command{Action::kDevices, *a};
  }
  if (is(L"controls") && operands == 1) {
    const std::optional<simmixer::ControlsMode> mode = simmixer::ParseMode(argv[2]);
    if (!mode) return std::nullopt;
    Command command{Action::kControls};
    command.mode = *mode;
    return command;
  }
  if (is(L"spurious") && operands == 1) {
    Command command{Action::kSpurious};
    if (std::wcscmp(argv[2], L"handle") == 0) return command;
    command.spurious = simmixer::Spurious::kUnknownControl;
    if (std::wcscmp(argv[2], L"control") == 0) return command;
    return std::nullopt;
  }
  if (is(L"delay") && (operands == 2 || operands == 3) &&
      (a = simcom::ParseNumber(argv[3])) && *a <= simmixer::kMaxDelayMs) {
    Command command{Action::kDelay, *a};
    command.close = std::wcscmp(argv[2], L"close") == 0;
    if (!command.close && std::wcscmp(argv[2], L"open") != 0) return std::nullopt;
    if (operands == 3) command.image = argv[4];
    if (std::wcslen(command.image) >= simmixer::kDelayImageChars) return std::nullopt;
    return command;
  }
  if (is(L"status") && operands == 0) return Command{Action::kStatus};
  if (is(L"reset") && operands == 0) return Command{Action::kReset};
  return std::nullopt;
}

// Sets one control's value and notifies the opens, when the device has that control.
bool SetControl(simmixer::SharedState& state, uint32_t control_id, uint32_t value,
                const wchar_t* key) {
  bool exists = false;
  const bool stored = state.Locked([&](StateRecord& record) {
    if (control_id == simmixer::kVolumeControlId) record.volume = value;
    if (control_id == simmixer::kMuteControlId) record.mute = value;
    exists = simmixer::HasSpeakers(simmixer::Mode(record)) &&
             simmixer::HasControl(simmixer::Mode(record), control_id);
  });
  if (!stored) return false;
  const uint32_t notified = exists ? simmixer::NotifyControlChange(state, control_id) : 0;
  std::wprintf(L"%ls=%u\nnotified=%u\n", key, value, notified);
  return true;
}

bool PrintStatus(simmixer::SharedState& state) {
  StateRecord snapshot{};
  uint32_t opens = 0;
  const bool read = state.Locked([&](StateRecord& record) {
    simmixer::ForgetDeadOpens(record);
    opens = simmixer::CountOpens(record);
    snapshot = record;
  });
  if (!read) return false;
  std::wprintf(L"volume=%u\nmute=%u\nmin=%u\nmax=%u\ndevices=%u\ncontrols=%ls\n"
               L"open_handles=%u\nwindows_notified=%u\nmixer_open_calls=%u\n",
               snapshot.volume, snapshot.mute, snapshot.bounds_min, snapshot.bounds_max,
               snapshot.devices, simmixer::ModeName(simmixer::Mode(snapshot)), opens,
               snapshot.windows_notified, snapshot.mixer_open_calls);
  return true;
}

bool Run(simmixer::SharedState& state, const Command& command) {
  switch (command.action) {
    case Action::kVolume:
      return SetControl(state, simmixer::kVolumeControlId, command.first, L"volume");
    case Action::kMute:
      return SetControl(state, simmixer::kMuteControlId, command.first, L"mute");
    case Action::kBounds:
      if (!state.Locked([&](StateRecord& r) {
            r.bounds_min = command.first;
            r.bounds_max = command.second;
          })) {
        return false;
      }
      std::wprintf(L"min=%u\nmax=%u\n", command.first, command.second);
      return true;
    case Action::kDevices:
      if (!state.Locked([&](StateRecord& r) { r.devices = command.first; })) return false;
      std::wprintf(L"devices=%u\n", command.first);
      return true;
    case Action::kControls:
      if (!state.Locked([&](StateRecord& r) { r.controls = static_cast<uint32_t>(command.mode); })) {
        return false;
      }
      std::wprintf(L"controls=%ls\n", simmixer::ModeName(command.mode));
      return true;
    case Action::kSpurious: {
      const uint32_t posted = simmixer::PostSpurious(state, command.spurious);
      std::wprintf(L"spurious=%ls\nposted=%u\n",
                   command.spurious == simmixer::Spurious::kWrongHandle ? L"handle" : L"control",
                   posted);
      return true;
    }
    case Action::kDelay:
      if (!state.Locked([&](StateRecord& r) {
            (command.close ? r.close_delay_ms : r.open_delay_ms) = command.first;
            std::wmemset(r.delay_image, L'\0', simmixer::kDelayImageChars);
            std::wcscpy(r.delay_image, command.image);
          })) {
        return false;
      }
      std::wprintf(L"%ls_delay=%u\nimage=%ls\n", command.close ? L"close" : L"open",
                   command.first, command.image);
      return true;
    case Action::kStatus:
      return PrintStatus(state);
    case Action::kReset:
      if (!state.Locked([](StateRecord& r) {
            simmixer::ForgetDeadOpens(r);
            simmixer::ResetToDefaults(r);
          })) {
        return false;
      }
      std::wprintf(L"reset=1\n");
      return true;
  }
  return false;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::optional<Command> command = Parse(argc, argv);
  if (!command) return Usage();

  std::optional<simmixer::SharedState> state = simmixer::SharedState::Open();
  if (!state) {
    std::fwprintf(stderr, L"SimMixer: cannot open the shared state (error %lu)\n",
                  GetLastError());
    return kFailed;
  }
  if (!Run(*state, *command)) {
    std::fwprintf(stderr, L"SimMixer: the shared state stayed locked for %lu ms\n",
                  simmixer::kLockTimeoutMs);
    return kFailed;
  }
  return kDone;
}

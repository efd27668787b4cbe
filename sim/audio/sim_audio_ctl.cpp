// SimAudio.exe: the test's hand on the simulated audio endpoints behind SimAudio.dll. Changes
// go straight to the shared record and wake every listening process, as the DLL's own do.
//
//   SimAudio level <0.0-1.0> [device]      set the level (default: the console render device)
//   SimAudio mute on|off [device]
//   SimAudio add <device> [level]          a new render device (level 0.5 unless given)
//   SimAudio remove <device>
//   SimAudio default <device>|none         the render default in all three roles
//   SimAudio default-role console|multimedia|communications <device>|none
//   SimAudio capture-default <device>|none the capture default in all three roles; an unknown
//                                          name becomes a new capture device
//   SimAudio fault enumerator|activate|set on|off
//   SimAudio status                        devices, registrations, counters and faults
//   SimAudio reset                         the fresh machine, faults off, counters zero
//   SimAudio watch [seconds]               print notifications through the real COM path
//
// Prints key=value lines. Exit code: 0 done, 1 failed (message on stderr), 2 bad usage.
#include <windows.h>
#include <mmdeviceapi.h>

#include <cerrno>
#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <optional>

#include "sim/audio/audio_model.h"
#include "sim/audio/level_text.h"
#include "sim/audio/shared_state.h"
#include "sim/audio/watch_client.h"

namespace {

using simaudio::kNoDevice;
using simaudio::kRoleCount;
using simaudio::SharedState;
using simaudio::StateRecord;

constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kBadUsage = 2;
constexpr DWORD kDefaultWatchSeconds = 10;
constexpr DWORD kMaxWatchSeconds = 24 * 60 * 60;
constexpr float kDefaultAddLevel = 0.5f;
constexpr wchar_t kNone[] = L"none";
constexpr const wchar_t* kRoleNames[kRoleCount] = {L"console", L"multimedia", L"communications"};

int Usage() {
  std::fwprintf(stderr,
                L"usage: SimAudio level <0.0-1.0> [device]\n"
                L"       SimAudio mute on|off [device]\n"
                L"       SimAudio add <device> [level]\n"
                L"       SimAudio remove <device>\n"
                L"       SimAudio default <device>|none\n"
                L"       SimAudio default-role console|multimedia|communications <device>|none\n"
                L"       SimAudio capture-default <device>|none\n"
                L"       SimAudio fault enumerator|activate|set on|off\n"
                L"       SimAudio status\n"
                L"       SimAudio reset\n"
                L"       SimAudio watch [seconds]\n");
  return kBadUsage;
}

// What a change to the record came to; everything but kOk is reported as a failure.
enum class Outcome { kOk, kUnknownDevice, kNoDefault, kExists, kFull, kWrongFlow };

int Report(Outcome outcome, const wchar_t* device) {
  switch (outcome) {
    case Outcome::kOk:
      return kDone;
    case Outcome::kUnknownDevice:
      std::fwprintf(stderr, L"SimAudio: no device named %ls\n", device);
      break;
    case Outcome::kNoDefault:
      std::fwprintf(stderr, L"SimAudio: there is no default console render device\n");
      break;
    case Outcome::kExists:
      std::fwprintf(stderr, L"SimAudio: a device named %ls exists already\n", device);
      break;
    case Outcome::kFull:
      std::fwprintf(stderr, L"SimAudio: the device table is full (%u devices)\n",
                    simaudio::kMaxDevices);
      break;
    case Outcome::kWrongFlow:
      std::fwprintf(stderr, L"SimAudio: %ls is a device of the other flow\n", device);
      break;
  }
  return kFailed;
}

// Names are printed inside key=value lines, so they hold no spaces, '=' or ','.
bool UsableName(const wchar_t* name) {
  if (!simaudio::ValidDeviceName(name)) return false;
  for (const wchar_t* c = name; *c != L'\0'; ++c) {
    if (std::iswspace(*c) || !std::iswprint(*c) || *c == L'=' || *c == L',') return false;
  }
  return true;
}

bool IsNone(const wchar_t* text) { return _wcsicmp(text, kNone) == 0; }

std::optional<float> ParseLevel(const wchar_t* text) {
  wchar_t* end = nullptr;
  errno = 0;
  const float level = std::wcstof(text, &end);
  if (errno != 0 || end == text || *end != L'\0' || !(level >= 0.0f && level <= 1.0f)) {
    return std::nullopt;
  }
  return level;
}

std::optional<bool> ParseSwitch(const wchar_t* text) {
  if (_wcsicmp(text, L"on") == 0) return true;
  if (_wcsicmp(text, L"off") == 0) return false;
  return std::nullopt;
}

std::optional<uint32_t> ParseRole(const wchar_t* text) {
  for (uint32_t role = 0; role < kRoleCount; ++role) {
    if (_wcsicmp(text, kRoleNames[role]) == 0) return role;
  }
  return std::nullopt;
}

std::optional<DWORD> ParseSeconds(const wchar_t* text) {
  if (!std::iswdigit(text[0])) return std::nullopt;
  wchar_t* end = nullptr;
  errno = 0;
  const unsigned long value = std::wcstoul(text, &end, 10);
  if (errno != 0 || *end != L'\0' || value == 0 || value > kMaxWatchSeconds) return std::nullopt;
  return static_cast<DWORD>(value);
}

std::optional<SharedState> OpenState() {
  std::optional<SharedState> state = SharedState::Open();
  if (!state) {
    std::fwprintf(stderr, L"SimAudio: cannot open the shared state (error %lu)\n",
                  GetLastError());
  }
  return state;
}

// The named device, or the console render default when no name is given.
int32_t TargetSlot(const StateRecord& r, const wchar_t* device, Outcome* outcome) {
  const int32_t slot = device != nullptr ? simaudio::FindDevice(r, device)
                                         : r.default_device[eRender][eConsole];
  if (slot == kNoDevice) {
    *outcome = device != nullptr ? Outcome::kUnknownDevice : Outcome::kNoDefault;
  }
  return slot;
}

// level / mute: one volume change on one device.
int ChangeVolume(SharedState& state, const wchar_t* device, std::optional<float> level,
                 std::optional<bool> muted) {
  wchar_t name[simaudio::kNameSize] = {};
  simaudio::DeviceRecord after{};
  const Outcome outcome = state.Update([&](StateRecord& r) {
    Outcome result = Outcome::kOk;
    const int32_t slot = TargetSlot(r, device, &result);
    if (slot == kNoDevice) return result;
    if (level) simaudio::SetLevel(r, slot, *level, GUID_NULL);
    if (muted) simaudio::SetMute(r, slot, *muted, GUID_NULL);
    simaudio::CopyName(name, r.devices[slot].name);
    after = r.devices[slot];
    return result;
  });
  if (outcome != Outcome::kOk) return Report(outcome, device);
  std::wprintf(L"device=%ls\n", name);
  if (level) {
    wchar_t text[simaudio::kLevelTextSize];
    simaudio::FormatLevel(after.level, text);
    std::wprintf(L"level=%ls\n", text);
  }
  if (muted) std::wprintf(L"muted=%u\n", after.muted);
  return kDone;
}

int AddDevice(SharedState& state, const wchar_t* device, float level) {
  const Outcome outcome = state.Update([&](StateRecord& r) {
    if (simaudio::FindDevice(r, device) != kNoDevice) return Outcome::kExists;
    return simaudio::AddDevice(r, device, eRender, level) == kNoDevice ? Outcome::kFull
                                                                       : Outcome::kOk;
  });
  if (outcome != Outcome::kOk) return Report(outcome, device);
  wchar_t text[simaudio::kLevelTextSize];
  simaudio::FormatLevel(level, text);
  std::wprintf(L"added=%ls\nlevel=%ls\n", device, text);
  return kDone;
}

int RemoveDevice(SharedState& state, const wchar_t* device) {
  const Outcome outcome = state.Update([&](StateRecord& r) {
    const int32_t slot = simaudio::FindDevice(r, device);
    if (slot == kNoDevice) return Outcome::kUnknownDevice;
    simaudio::RemoveDevice(r, slot);
    return Outcome::kOk;
  });
  if (outcome != Outcome::kOk) return Report(outcome, device);
  std::wprintf(L"removed=%ls\n", device);
  return kDone;
}

// default / default-role / capture-default: device null means none. A capture name that does
// not exist yet becomes a new capture device.
int SetDefaults(SharedState& state, uint32_t flow, uint32_t first_role, uint32_t end_role,
                const wchar_t* device) {
  const Outcome outcome = state.Update([&](StateRecord& r) {
    int32_t slot = kNoDevice;
    if (device != nullptr) {
      slot = simaudio::FindDevice(r, device);
      if (slot == kNoDevice && flow == eCapture) {
        slot = simaudio::AddDevice(r, device, eCapture, kDefaultAddLevel);
        if (slot == kNoDevice) return Outcome::kFull;
      }
      if (slot == kNoDevice) return Outcome::kUnknownDevice;
      if (r.devices[slot].flow != flow) return Outcome::kWrongFlow;
    }
    for (uint32_t role = first_role; role < end_role; ++role) {
      simaudio::SetDefault(r, flow, role, slot);
    }
    return Outcome::kOk;
  });
  if (outcome != Outcome::kOk) return Report(outcome, device);
  const wchar_t* shown = device != nullptr ? device : kNone;
  const wchar_t* prefix = flow == eCapture ? L"capture_" : L"";
  if (end_role - first_role == kRoleCount) {
    std::wprintf(L"%lsdefault=%ls\n", prefix, shown);
  } else {
    std::wprintf(L"%lsdefault_%ls=%ls\n", prefix, kRoleNames[first_role], shown);
  }
  return kDone;
}

void PrintStatus(const StateRecord& r) {
  uint32_t volume_callbacks = 0;
  uint32_t clients = 0;
  uint32_t listeners = 0;
  for (const simaudio::CallbackRecord& callbacks : r.callbacks) {
    if (callbacks.pid != 0) volume_callbacks += callbacks.count;
  }
  for (const simaudio::ListenerRecord& listener : r.listeners) {
    if (listener.pid == 0) continue;
    ++listeners;
    clients += listener.clients;
  }
  for (int32_t slot = 0; slot < static_cast<int32_t>(simaudio::kMaxDevices); ++slot) {
    const simaudio::DeviceRecord& device = r.devices[slot];
    if (device.name[0] == L'\0') continue;
    wchar_t roles[64] = {};
    for (uint32_t role = 0; role < kRoleCount; ++role) {
      if (r.default_device[device.flow][role] != slot) continue;
      if (roles[0] != L'\0') wcscat(roles, L",");
      wcscat(roles, kRoleNames[role]);
    }
    uint32_t callbacks_here = 0;
    for (const simaudio::CallbackRecord& callbacks : r.callbacks) {
      if (callbacks.pid != 0 && _wcsnicmp(callbacks.device, device.name, simaudio::kNameSize) == 0) {
        callbacks_here += callbacks.count;
      }
    }
    wchar_t level[simaudio::kLevelTextSize];
    simaudio::FormatLevel(device.level, level);
    std::wprintf(L"device=%ls flow=%ls level=%ls muted=%u roles=%ls callbacks=%u\n", device.name,
                 device.flow == eCapture ? L"capture" : L"render", level, device.muted,
                 roles[0] != L'\0' ? roles : kNone, callbacks_here);
  }
  for (uint32_t flow = 0; flow < simaudio::kFlowCount; ++flow) {
    for (uint32_t role = 0; role < kRoleCount; ++role) {
      const int32_t slot = r.default_device[flow][role];
      std::wprintf(L"default_%ls_%ls=%ls\n", flow == eCapture ? L"capture" : L"render",
                   kRoleNames[role], slot != kNoDevice ? r.devices[slot].name : kNone);
    }
  }
  std::wprintf(L"volume_callbacks=%u\nnotification_clients=%u\nlistening_processes=%u\n"
               L"calls_after_release=%u\nobjects_alive=%d\nunregister_timeouts=%u\n"
               L"changes=%u\nfault_enumerator=%u\nfault_activate=%u\nfault_set=%u\n",
               volume_callbacks, clients, listeners, r.calls_after_release, r.objects_alive,
               r.unregister_timeouts, r.last_sequence, r.fault_enumerator, r.fault_activate,
               r.fault_set);
}

bool Is(const wchar_t* text, const wchar_t* word) { return _wcsicmp(text, word) == 0; }

// The commands, each given the arguments after its name.
int WatchCommand(int extra, wchar_t** args) {
  if (extra > 1) return Usage();
  std::optional<DWORD> seconds = kDefaultWatchSeconds;
  if (extra == 1 && !(seconds = ParseSeconds(args[0]))) return Usage();
  return simaudio::RunWatch(*seconds);
}

// level|mute <value> [device]
int VolumeCommand(const wchar_t* command, int extra, wchar_t** args) {
  if (extra < 1 || extra > 2) return Usage();
  std::optional<float> level;
  std::optional<bool> muted;
  if (Is(command, L"level") ? !(level = ParseLevel(args[0])) : !(muted = ParseSwitch(args[0]))) {
    return Usage();
  }
  // An optional trailing device name, checked before the state is touched.
  const wchar_t* device = extra > 1 ? args[1] : nullptr;
  if (device != nullptr && !UsableName(device)) return Usage();
  std::optional<SharedState> state = OpenState();
  return state ? ChangeVolume(*state, device, level, muted) : kFailed;
}

int AddCommand(int extra, wchar_t** args) {
  if (extra < 1 || extra > 2 || !UsableName(args[0])) return Usage();
  std::optional<float> level = kDefaultAddLevel;
  if (extra == 2 && !(level = ParseLevel(args[1]))) return Usage();
  std::optional<SharedState> state = OpenState();
  return state ? AddDevice(*state, args[0], *level) : kFailed;
}

int RemoveCommand(int extra, wchar_t** args) {
  if (extra != 1 || !UsableName(args[0])) return Usage();
  std::optional<SharedState> state = OpenState();
  return state ? RemoveDevice(*state, args[0]) : kFailed;
}

// default|capture-default <device|none>, default-role <role> <device|none>
int DefaultCommand(const wchar_t* command, int extra, wchar_t** args) {
  const bool one_role = Is(command, L"default-role");
  if (extra != (one_role ? 2 : 1)) return Usage();
  std::optional<uint32_t> role = 0;
  if (one_role && !(role = ParseRole(args[0]))) return Usage();
  const wchar_t* device = args[one_role ? 1 : 0];
  if (IsNone(device)) {
    device = nullptr;
  } else if (!UsableName(device)) {
    return Usage();
  }
  const uint32_t flow = Is(command, L"capture-default") ? eCapture : eRender;
  std::optional<SharedState> state = OpenState();
  if (!state) return kFailed;
  return one_role ? SetDefaults(*state, flow, *role, *role + 1, device)
                  : SetDefaults(*state, flow, 0, kRoleCount, device);
}

int FaultCommand(int extra, wchar_t** args) {
  if (extra != 2) return Usage();
  const std::optional<bool> on = ParseSwitch(args[1]);
  const wchar_t* const name = args[0];
  const bool enumerator = Is(name, L"enumerator");
  const bool set = Is(name, L"set");
  if (!on || (!enumerator && !set && !Is(name, L"activate"))) return Usage();
  std::optional<SharedState> state = OpenState();
  if (!state) return kFailed;
  state->Locked([&](StateRecord& r) {
    (enumerator ? r.fault_enumerator : set ? r.fault_set : r.fault_activate) = *on ? 1 : 0;
    return 0;
  });
  std::wprintf(L"fault_%ls=%d\n", enumerator ? L"enumerator" : set ? L"set" : L"activate",
               *on ? 1 : 0);
  return kDone;
}

// status|reset
int StateCommand(const wchar_t* command, int extra) {
  if (extra != 0) return Usage();
  std::optional<SharedState> state = OpenState();
  if (!state) return kFailed;
  if (Is(command, L"reset")) {
    state->Reset();
    std::wprintf(L"reset=1\n");
  } else {
    PrintStatus(state->Snapshot());
  }
  return kDone;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return Usage();
  const wchar_t* command = argv[1];
  const int extra = argc - 2;  // arguments after the command
  wchar_t** args = argv + 2;
  if (Is(command, L"watch")) return WatchCommand(extra, args);
  if (Is(command, L"level") || Is(command, L"mute")) return VolumeCommand(command, extra, args);
  if (Is(command, L"add")) return AddCommand(extra, args);
  if (Is(command, L"remove")) return RemoveCommand(extra, args);
  if (Is(command, L"default") || Is(command, L"capture-default") ||
      Is(command, L"default-role")) {
    return DefaultCommand(command, extra, args);
  }
  if (Is(command, L"fault")) return FaultCommand(extra, args);
  if (Is(command, L"status") || Is(command, L"reset")) return StateCommand(command, extra);
  return Usage();
}

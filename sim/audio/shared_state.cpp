#include "sim/audio/shared_state.h"

#include <cstring>
#include <cwchar>

#include "common/bounded_format.h"
#include "sim/audio/audio_model.h"

namespace simaudio {
namespace {

bool WakeEventName(uint32_t pid, wchar_t (&name)[kWakeEventNameSize]) {
  return halvaro::FormatBounded(name, kWakeEventNameSize, kWakeEventNameFormat, pid) ==
         halvaro::kFormatOk;
}

FILETIME CreationTime(HANDLE process) {
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return FILETIME{};
  return created;
}

// A process of another account cannot be opened; it is taken as alive rather than robbed of
// its registrations.
bool Lives(const ListenerRecord& listener) {
  halvaro::UniqueHandle process(
      OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, listener.pid));
  if (!process) return GetLastError() == ERROR_ACCESS_DENIED;
  DWORD code = 0;
  if (GetExitCodeProcess(process.get(), &code) && code != STILL_ACTIVE) return false;
  const FILETIME created = CreationTime(process.get());
  return created.dwLowDateTime == listener.created_low &&
         created.dwHighDateTime == listener.created_high;
}

bool SameDevice(const CallbackRecord& callbacks, const wchar_t* device) {
  return _wcsnicmp(callbacks.device, device, kNameSize) == 0;
}

}  // namespace

std::optional<SharedState> SharedState::Open() {
  std::optional<simcom::SharedRecord> shared = simcom::SharedRecord::Open(
      kStateDirectory, kStateFile, kMappingName, kLockName, sizeof(StateRecord));
  if (!shared) return std::nullopt;
  SharedState state(std::move(*shared));
  state.pid_ = GetCurrentProcessId();
  state.created_ = CreationTime(GetCurrentProcess());

  // A new file is all zeros, and a file from an older layout has another magic: both start
  // as a fresh machine.
  state.Locked([](StateRecord& record) {
    if (record.magic == kRecordMagic) return;
    std::memset(&record, 0, sizeof(record));
    record.magic = kRecordMagic;
    SetInitialDevices(record);
  });
  return state;
}

void SharedState::DropEndedListeners(StateRecord& r) {
  for (ListenerRecord& listener : r.listeners) {
    if (listener.pid == 0 || listener.pid == pid_ || Lives(listener)) continue;
    for (CallbackRecord& callbacks : r.callbacks) {
      if (callbacks.pid == listener.pid) std::memset(&callbacks, 0, sizeof(callbacks));
    }
    std::memset(&listener, 0, sizeof(listener));
  }
}

ListenerRecord* SharedState::OwnListener(StateRecord& r) {
  ListenerRecord* free_record = nullptr;
  for (ListenerRecord& listener : r.listeners) {
    if (listener.pid == pid_) return &listener;
    if (listener.pid == 0 && free_record == nullptr) free_record = &listener;
  }
  if (free_record == nullptr) return nullptr;
  free_record->pid = pid_;
  free_record->created_low = created_.dwLowDateTime;
  free_record->created_high = created_.dwHighDateTime;
  free_record->clients = 0;
  return free_record;
}

void SharedState::ForgetOwnListenerIfIdle(StateRecord& r) {
  for (const CallbackRecord& callbacks : r.callbacks) {
    if (callbacks.pid == pid_) return;
  }
  for (ListenerRecord& listener : r.listeners) {
    if (listener.pid == pid_ && listener.clients == 0) {
      std::memset(&listener, 0, sizeof(listener));
    }
  }
}

std::optional<uint32_t> SharedState::AddRegistration(const wchar_t* device) {
  return Locked([&](StateRecord& r) -> std::optional<uint32_t> {
    DropEndedListeners(r);
    ListenerRecord* listener = OwnListener(r);
    if (listener == nullptr) return std::nullopt;
    if (device == nullptr) {
      ++listener->clients;
      return r.last_sequence;
    }
    CallbackRecord* free_record = nullptr;
    for (CallbackRecord& callbacks : r.callbacks) {
      if (callbacks.pid == pid_ && SameDevice(callbacks, device)) {
        ++callbacks.count;
        return r.last_sequence;
      }
      if (callbacks.pid == 0 && free_record == nullptr) free_record = &callbacks;
    }
    if (free_record == nullptr || !CopyName(free_record->device, device)) {
      ForgetOwnListenerIfIdle(r);
      return std::nullopt;
    }
    free_record->pid = pid_;
    free_record->count = 1;
    return r.last_sequence;
  });
}

void SharedState::RemoveRegistration(const wchar_t* device) {
  Locked([&](StateRecord& r) {
    if (device == nullptr) {
      for (ListenerRecord& listener : r.listeners) {
        if (listener.pid == pid_ && listener.clients > 0) --listener.clients;
      }
    } else {
      for (CallbackRecord& callbacks : r.callbacks) {
        if (callbacks.pid != pid_ || !SameDevice(callbacks, device)) continue;
        if (--callbacks.count == 0) std::memset(&callbacks, 0, sizeof(callbacks));
        break;
      }
    }
    ForgetOwnListenerIfIdle(r);
  });
}

uint32_t SharedState::ReadChanges(uint32_t* seen, ChangeRecord* out) {
  return Locked([&](StateRecord& r) -> uint32_t {
    const uint32_t missed = r.last_sequence - *seen;  // modulo 2^32, like the sequence
    const uint32_t after = *seen;
    *seen = r.last_sequence;
    if (missed > kRingCapacity) return CurrentStateAsChanges(r, out, kRingCapacity);
    for (uint32_t i = 0; i < missed; ++i) {
      out[i] = r.changes[(after + 1 + i) % kRingCapacity];
    }
    return missed;
  });
}

StateRecord SharedState::Snapshot() {
  return Locked([this](StateRecord& r) {
    DropEndedListeners(r);
    return r;
  });
}

void SharedState::Reset() {
  Update([](StateRecord& r) {
    ++r.generation;
    r.fault_enumerator = 0;
    r.fault_activate = 0;
    r.fault_set = 0;
    r.calls_after_release = 0;
    r.objects_alive = 0;
    r.unregister_timeouts = 0;
    SetInitialDevices(r);
    PostCurrentState(r);
    return 0;
  });
}

void SharedState::WakeListeners() {
  uint32_t pids[kMaxListeners] = {};
  Locked([&](StateRecord& r) {
    DropEndedListeners(r);
    for (uint32_t i = 0; i < kMaxListeners; ++i) pids[i] = r.listeners[i].pid;
  });
  // Outside the lock: a listener's thread takes it as soon as it wakes.
  for (const uint32_t pid : pids) {
    wchar_t name[kWakeEventNameSize];
    if (pid == 0 || !WakeEventName(pid, name)) continue;
    halvaro::UniqueHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, name));
    if (event) SetEvent(event.get());
  }
}

halvaro::UniqueHandle CreateOwnWakeEvent() {
  wchar_t name[kWakeEventNameSize];
  if (!WakeEventName(GetCurrentProcessId(), name)) return halvaro::UniqueHandle();
  return simcom::CreateWorldEvent(name, false);
}

}  // namespace simaudio

// The simulated audio endpoints' state, shared by SimAudio.dll inside every process of the
// prefix and by SimAudio.exe, and the wake-up of the processes that listen for notifications.
//
// A change is made under the lock and appended to the record's ring of changes (see
// audio_model.h); Update then sets the wake event of every process that has registrations,
// whose notification thread reads the new entries and calls its own callbacks.
//
// Threading: every access to the record goes through Locked() or Update(), which hold a named
// mutex; nothing calls out of this code while holding it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <utility>

#include "common/unique_resource.h"
#include "sim/audio/audio_record.h"
#include "sim/common/shared_record.h"

namespace simaudio {

// Kernel object names; "Global\" so that a service in session 0 and a test program in a user
// session meet.
inline constexpr wchar_t kMappingName[] = L"Global\\HalvaroSimAudio.State";
inline constexpr wchar_t kLockName[] = L"Global\\HalvaroSimAudio.Lock";
// Auto-reset event of one listening process, by process id (decimal).
inline constexpr wchar_t kWakeEventNameFormat[] = L"Global\\HalvaroSimAudio.Wake.%u";
inline constexpr size_t kWakeEventNameSize = 64;
// File under the common application data folder (C:\ProgramData on current Windows).
inline constexpr wchar_t kStateDirectory[] = L"HalvaroSim";
inline constexpr wchar_t kStateFile[] = L"SimAudioState.bin";

class SharedState {
 public:
  // Opens the record and the lock, creating them when they do not exist yet; a new record
  // holds the fresh machine of SetInitialDevices. Returns nothing, with the last error set,
  // when one of them cannot be opened.
  static std::optional<SharedState> Open();

  // Runs f(record) under the lock and returns its result.
  template <typename F>
  auto Locked(F&& f) {
    simcom::SharedRecord::Guard guard(shared_.lock());
    return f(*record());
  }

  // Like Locked, for changes: when f posted change entries, every listening process is woken
  // after the lock is released. f must return a value.
  template <typename F>
  auto Update(F&& f) {
    uint32_t before = 0;
    uint32_t after = 0;
    auto result = Locked([&](StateRecord& r) {
      before = r.last_sequence;
      auto value = f(r);
      after = r.last_sequence;
      return value;
    });
    if (before != after) WakeListeners();
    return result;
  }

  // Counts one registration of this process in the listener tables: a volume callback on
  // `device`, or a notification client when device is null. Returns the sequence of the
  // newest change (later ones are for this registration), or nothing when a table is full.
  std::optional<uint32_t> AddRegistration(const wchar_t* device);
  void RemoveRegistration(const wchar_t* device);

  // Copies the changes after *seen into out (kRingCapacity entries) and moves *seen to the
  // newest. When more were missed than the ring holds, the current state is given instead.
  uint32_t ReadChanges(uint32_t* seen, ChangeRecord* out);

  // The record, with the processes that have ended dropped from the listener tables first.
  StateRecord Snapshot();

  // The fresh machine again, faults off, counters zero, posted as a whole (PostCurrentState)
  // so that running listeners catch up. Registrations of running processes stay.
  void Reset();

 private:
  explicit SharedState(simcom::SharedRecord shared) : shared_(std::move(shared)) {}

  StateRecord* record() const { return static_cast<StateRecord*>(shared_.data()); }
  ListenerRecord* OwnListener(StateRecord& r);
  void ForgetOwnListenerIfIdle(StateRecord& r);
  void DropEndedListeners(StateRecord& r);
  void WakeListeners();

  simcom::SharedRecord shared_;  // the StateRecord and its lock
  uint32_t pid_ = 0;
  FILETIME created_{};  // of this process
};

// Creates (or opens) the wake event of this process, which Update sets once the process has
// registrations. Empty on failure.
halvaro::UniqueHandle CreateOwnWakeEvent();

}  // namespace simaudio

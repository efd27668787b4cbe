// The simulated firmware's state, shared by SimWmi.dll (inside the program under test) and
// SimFirmware.exe (the test's hand on the firmware).
//
// The record lives in a file under the common application data folder, mapped by name, so
// that a fault set before the program under test starts survives until that program reads it:
// a page-file mapping would vanish as soon as SimFirmware.exe exits.
//
// Threading: every access to the record goes through Locked(), which holds a named mutex; the
// record itself is only ever touched under that mutex, from any process.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <utility>

#include "common/unique_resource.h"
#include "sim/common/shared_record.h"

namespace simwmi {

// Kernel object names; "Global\" so that a service in session 0 and a test program in a user
// session meet.
inline constexpr wchar_t kMappingName[] = L"Global\\HalvaroSimWmi.State";
inline constexpr wchar_t kLockName[] = L"Global\\HalvaroSimWmi.Lock";
inline constexpr wchar_t kPressedEventName[] = L"Global\\HalvaroSimWmi.Pressed";
// File under the common application data folder (C:\ProgramData on current Windows).
inline constexpr wchar_t kStateDirectory[] = L"HalvaroSim";
inline constexpr wchar_t kStateFile[] = L"SimWmiState.bin";

inline constexpr uint32_t kQueueCapacity = 32;
inline constexpr uint32_t kConnectTickCount = 8;  // the last attempts whose times are kept
// How long ConnectServer takes under the "slow" fault: a provider that is slow to come up.
inline constexpr unsigned long kSlowConnectMs = 10000;

// Fixed-width fields only: a 32-bit service and a 64-bit SimFirmware.exe share one record.
struct StateRecord {
  uint32_t magic;  // kRecordMagic once initialised; anything else is cleared on open
  uint32_t generation;  // bumped by Reset, so enumerators from before it leave the gauge alone
  uint32_t fault_connect;
  uint32_t fault_query;
  uint32_t fault_badprop;
  uint32_t fault_empty;  // Next answers WBEM_S_FALSE at once, with no object
  // The provider is down, as while it restarts: connections and queries fail, and so does
  // every enumerator made before the fault was set, for good.
  uint32_t fault_broken;
  uint32_t provider_restarts;  // bumped each time the fault is set
  uint32_t fault_slow;  // ConnectServer answers only after kSlowConnectMs
  uint32_t next_failures_left;  // so many Next calls fail, the connection itself stays sound
  uint32_t next_failures;       // Next calls failed that way
  uint32_t connect_attempts;
  uint32_t connect_ticks[kConnectTickCount];  // GetTickCount of attempt n at n % count
  uint32_t connections;
  uint32_t query_attempts;
  uint32_t queries;
  uint32_t next_calls;
  uint32_t delivered;
  uint32_t calls_after_release;
  int32_t enumerators_alive;  // signed: a negative value would show a counting bug
  uint32_t queue_head;
  uint32_t queue_count;
  uint32_t queue[kQueueCapacity];
};

inline constexpr uint32_t kRecordMagic = 0x31574D53u ^ static_cast<uint32_t>(sizeof(StateRecord));

class SharedState {
 public:
  // Opens the record, the lock and the wake event, creating them when they do not exist yet.
  // Returns nothing, with the last error set, when one of them cannot be opened.
  static std::optional<SharedState> Open();

  // Runs f(record) under the lock and returns its result.
  template <typename F>
  auto Locked(F&& f) {
    simcom::SharedRecord::Guard guard(shared_.lock());
    return f(*record());
  }

  // Queues a pressed code and wakes a waiting enumerator. False when the queue is full.
  bool Press(uint32_t code);
  // Takes the oldest pressed code, counting it as delivered.
  std::optional<uint32_t> TakePressed();
  // Clears counters, faults and the queue.
  void Reset();

  HANDLE pressed_event() const { return pressed_.get(); }

 private:
  explicit SharedState(simcom::SharedRecord shared) : shared_(std::move(shared)) {}

  StateRecord* record() const { return static_cast<StateRecord*>(shared_.data()); }

  simcom::SharedRecord shared_;  // the StateRecord and its lock
  halvaro::UniqueHandle pressed_;
};

}  // namespace simwmi

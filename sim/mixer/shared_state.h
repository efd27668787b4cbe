// The simulated mixer's state, shared by winmm.dll (inside every program that opened the
// mixer) and SimMixer.exe (the test's hand on the device).
//
// The record lives in a file under the common application data folder, mapped by name, so
// that a setting made before the program under test starts is still there when it opens the
// mixer: a page-file mapping would vanish as soon as SimMixer.exe exits.
//
// Threading: every access to the record goes through Locked(), which holds a named mutex
// (waiting at most kLockTimeoutMs); the record is only ever touched under that mutex.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <optional>

#include "common/unique_resource.h"
#include "sim/mixer/mixer_layout.h"

namespace simmixer {

// "Global\" so that a service in session 0 and a test program in a user session meet.
inline constexpr wchar_t kMappingName[] = L"Global\\HalvaroSimMixer.State";
inline constexpr wchar_t kLockName[] = L"Global\\HalvaroSimMixer.Lock";
inline constexpr wchar_t kStateDirectory[] = L"HalvaroSim";
inline constexpr wchar_t kStateFile[] = L"SimMixerState.bin";

inline constexpr uint32_t kMaxOpens = 64;
inline constexpr DWORD kLockTimeoutMs = 5000;

inline constexpr uint32_t kMaxDelayMs = 60000;
inline constexpr size_t kDelayImageChars = 32;
inline constexpr uint32_t kDefaultDevices = 1;
inline constexpr uint32_t kDefaultVolume = 32768;
inline constexpr uint32_t kDefaultBoundsMin = 0;
inline constexpr uint32_t kDefaultBoundsMax = 65535;

// One mixerOpen that has not been closed. Fixed-width fields only: 32-bit and 64-bit
// processes share the table.
struct OpenEntry {
  uint32_t handle;           // the HMIXER value handed out; 0 marks a free slot
  uint32_t process_id;
  uint64_t process_created;  // creation FILETIME, so that a reused process id does not match
  uint32_t window;           // CALLBACK_WINDOW target as a 32-bit handle value; 0 for none
  uint32_t device;
};

struct StateRecord {
  uint32_t magic;  // kRecordMagic once initialised; anything else is reset to the defaults
  uint32_t devices;
  uint32_t volume;
  uint32_t mute;  // 0 or 1
  uint32_t bounds_min;
  uint32_t bounds_max;
  uint32_t controls;     // a ControlsMode
  uint32_t next_handle;  // sequence part of the next handle value
  uint32_t windows_notified;
  uint32_t mixer_open_calls;
  // How long mixerOpen and mixerClose take, as a slow driver's would: in every program, or
  // only in the one whose image name (any case) is delay_image.
  uint32_t open_delay_ms;
  uint32_t close_delay_ms;
  wchar_t delay_image[kDelayImageChars];  // null-terminated; empty for every program
  OpenEntry opens[kMaxOpens];
};

static_assert(sizeof(OpenEntry) == 24 && offsetof(OpenEntry, process_created) == 8,
              "the open table must look the same to 32-bit and 64-bit processes");
static_assert(offsetof(StateRecord, opens) == 112, "the record must not depend on the bitness");

inline constexpr uint32_t kRecordMagic = 0x584D5348u ^ static_cast<uint32_t>(sizeof(StateRecord));

inline ControlsMode Mode(const StateRecord& record) {
  return static_cast<ControlsMode>(record.controls);
}

class SharedState {
 public:
  // Opens the record and the lock, creating them (with the defaults) when they do not exist
  // yet. Returns nothing, with the last error set, when one of them cannot be opened.
  static std::optional<SharedState> Open();

  // Runs f(record) under the lock. False, without running f, when the lock was not had in
  // time.
  template <typename F>
  bool Locked(F&& f) {
    const DWORD wait = WaitForSingleObject(lock_.get(), kLockTimeoutMs);
    // An abandoned mutex still hands over ownership; each field is written in one step, so
    // the holder that died cannot have left one half-written.
    if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) return false;
    Release release{lock_.get()};
    f(*record());
    return true;
  }

 private:
  SharedState() = default;

  StateRecord* record() const { return static_cast<StateRecord*>(view_.get()); }

  struct Release {
    HANDLE mutex;
    ~Release() { ReleaseMutex(mutex); }
  };

  halvaro::UniqueHandle mapping_;
  halvaro::UniqueMappedView view_;  // after mapping_, so that it is unmapped first
  halvaro::UniqueHandle lock_;
};

// Device settings back to the defaults and counters to zero. The open table is kept: the
// programs holding those opens still hold valid handles.
void ResetToDefaults(StateRecord& record);

}  // namespace simmixer

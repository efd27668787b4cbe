// The legacy waveform mixer's master volume: the volume and mute controls of the speakers
// destination line of mixer device 0, read, written and watched through a hidden window.
//
// The mixer is opened with the window "MIXERMASTERVOLUME" as its notification target. The
// window belongs to a thread of the object's own, which turns every MM_MIXM_CONTROL_CHANGE
// for this mixer's volume or mute control into a call of the change callback with the
// current volume.
//
// Threading:
// - Open, the reads and writes and SetChangeCallback may be called from any thread; `lock_`
//   guards the mixer handle and the control ids, so no call uses a handle being closed.
// - The change callback runs on the window thread, with no lock of this object held; it may
//   call back into the object.
// - Creation waits (bounded) until the window exists or has failed, so that Open always hands
//   mixerOpen the window. Destruction ends the window thread and waits for it before anything
//   the window procedure reads is freed: no change callback runs after destruction returns.
//   Destruction must not run on the window thread, nor while holding a lock the change
//   callback takes.
#pragma once

#include <windows.h>
#include <mmsystem.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "common/locks.h"
#include "common/unique_resource.h"
#include "common/worker_thread.h"
#include "volume/volume_types.h"

namespace halvaro {

// An open mixer, closed through the system's winmm (volume/system_winmm.h).
struct MixerHandleTraits {
  using Type = HMIXER;
  static Type Empty() { return nullptr; }
  static bool IsEmpty(Type h) { return h == nullptr; }
  static void Close(Type h);
};
using UniqueMixer = UniqueResource<MixerHandleTraits>;

class MixerVolume {
 public:
  MixerVolume();
  ~MixerVolume();
  MixerVolume(const MixerVolume&) = delete;
  MixerVolume& operator=(const MixerVolume&) = delete;

  // Opens mixer device 0 and finds its speakers line's volume and mute controls, closing an
  // open mixer first. False with the mixer closed when any step fails.
  bool Open();
  void Close();

  bool GetVolume(uint32_t* value);
  bool SetVolume(uint32_t value);  // no range check: the driver decides
  bool IsMuted(uint32_t* value);
  bool Unmute();

  // Replaces the callback and its user data; null stops the calls. A call of the old
  // callback in progress on the window thread finishes before this returns.
  void SetChangeCallback(VolumeChangeCallback callback, uint32_t user_data);

  VolumeBounds Bounds();

  // The notification window, null when it could not be created.
  HWND window() const { return window_.load(); }

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  void RunWindow(HANDLE stop_event, HANDLE window_ready);
  void OnControlChange(WPARAM mixer, LPARAM control);
  bool ReadControl(DWORD MixerVolume::*control, uint32_t* value);
  bool WriteControl(DWORD MixerVolume::*control, uint32_t value);
  Lock lock_{LockRank::kMixerVolume};
  UniqueMixer mixer_;               // guarded by lock_
  UINT device_count_ = 0;           // guarded by lock_
  MIXERCAPSW caps_{};               // guarded by lock_
  uint32_t volume_minimum_ = 0;     // guarded by lock_
  uint32_t volume_maximum_ = 0;     // guarded by lock_
  DWORD volume_control_ = 0;        // guarded by lock_
  DWORD mute_control_ = 0;          // guarded by lock_

  // Held across each call of the callback; taken before lock_.
  Lock callback_lock_{LockRank::kMixerCallback};
  VolumeChangeCallback callback_ = nullptr;  // guarded by callback_lock_
  uint32_t user_data_ = 0;                   // guarded by callback_lock_

  // Written by the window thread once; null until then and when creation failed.
  std::atomic<HWND> window_{nullptr};
  WorkerThread window_thread_;
};

}  // namespace halvaro

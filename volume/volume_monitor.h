// The master volume and mute of the machine's playback device, read, set and watched through
// one object with two backends: the endpoint-volume interfaces on the default render device
// (major version 6 and later), or the legacy mixer (major version 5 and earlier).
//
// On the endpoint backend a device watcher thread follows the default playback device: one
// second after a change for the console role it re-opens the backend on the new device and
// reports that device's volume through the change callback.
//
// Threading:
// - Every operation may be called from any thread that is in the multithreaded apartment
//   (the owner's threads; the watcher thread enters it itself). The monitor does not enter or
//   leave apartments for its callers, nor does it set the process's COM security: that is
//   its owner's (the service sets it once in ServiceMain).
// - `lock_` guards the open backend for each short operation (GetVolume, SetVolume, IsMuted,
//   Unmute, bounds). `backend_lock_` serialises the changes of the backend (Reinitialize,
//   CloseBackend, SetChangeCallback) and is taken before `lock_`. Registrations are
//   withdrawn and backends released with `lock_` not held, so a notification in flight can
//   still read the volume and finish.
// - The change callback runs on the thread that noticed the change (a platform notification
//   thread, the mixer window thread or the watcher thread). The watcher calls it holding
//   `watcher_call_lock_` and the mixer window thread holding MixerVolume's callback lock, so
//   that SetChangeCallback waits for a call in progress; a platform notification holds
//   none. The callback may call the monitor's reads and writes (`lock_`) and take the locks
//   after them in the service's order (the serial link's, for a whole board exchange), but
//   not call SetChangeCallback or destruction.
// - Destruction stops the watcher thread and waits for it, then withdraws every registration
//   and releases the backend: no change callback runs after destruction returns. It must not
//   run on a thread that the change callback runs on.
#pragma once

#include <windows.h>
#include <endpointvolume.h>
#include <mmdeviceapi.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "common/locks.h"
#include "common/unique_resource.h"
#include "common/worker_thread.h"
#include "volume/audio_callbacks.h"
#include "volume/mixer_volume.h"
#include "volume/volume_types.h"

namespace halvaro {

// Pause between a default-device change and the re-opening of the backend.
constexpr DWORD kDeviceChangeSettleMs = 1000;

// Whether this system's volume is the legacy mixer's (major version 5) rather than the
// endpoint's: the one check that chooses the backend, in the service and the agent alike.
bool SystemUsesMixer();

class VolumeMonitor {
 public:
  // Chooses the backend by the system's major version and opens it; kind 0 when that fails.
  VolumeMonitor();
  ~VolumeMonitor();
  VolumeMonitor(const VolumeMonitor&) = delete;
  VolumeMonitor& operator=(const VolumeMonitor&) = delete;

  uint32_t GetVolume();              // raw volume; 0 when nothing can be read
  // Endpoint: unmutes first; mixer: mute untouched. False when the backend refused the level
  // (or there is none): the volume in force is then what it was.
  bool SetVolume(uint32_t raw);
  uint32_t IsMuted();                // nonzero when muted; 0 when nothing can be read
  void Unmute();
  VolumeBounds GetVolumeBounds();    // endpoint 0..65535; mixer its control's; none 0..~0
  // Installs (or with null removes) the change callback on the open backend; with no
  // backend open nothing is stored. Once it has returned, the callback it replaced is not
  // called any more and a call of it in progress has finished.
  void SetChangeCallback(VolumeChangeCallback callback, uint32_t user_data);

  uint32_t kind() const { return kind_.load(); }
  bool has_device_watcher() const { return watcher_started_; }

 private:
  void Reinitialize();   // caller holds backend_lock_
  void CloseBackend();   // caller holds backend_lock_
  bool OpenEndpoint();   // caller holds backend_lock_
  void InstallCallback(VolumeChangeCallback callback, uint32_t user_data);  // holds backend_lock_
  void ReleaseEnumerator();  // caller holds backend_lock_
  void WatchDefaultDevice(HANDLE stop_event);

  bool use_mixer_ = false;       // fixed at construction
  bool watcher_started_ = false;  // fixed at construction

  Lock backend_lock_{LockRank::kVolumeBackend};
  // Guarded by backend_lock_.
  Microsoft::WRL::ComPtr<IMMDeviceEnumerator> enumerator_;
  bool notify_registered_ = false;
  bool volume_callback_registered_ = false;
  // Held by the watcher while it calls the change callback, and by SetChangeCallback while it
  // replaces it (after backend_lock_, before lock_).
  Lock watcher_call_lock_{LockRank::kVolumeWatcherCall};
  // Written under backend_lock_ and watcher_call_lock_; read under either.
  VolumeChangeCallback callback_ = nullptr;
  uint32_t user_data_ = 0;

  Lock lock_{LockRank::kVolumeOperation};
  std::atomic<uint32_t> kind_{kNoBackend};  // written under both locks
  // Guarded by lock_ (and written only while backend_lock_ is held too).
  std::unique_ptr<MixerVolume> mixer_;
  Microsoft::WRL::ComPtr<IAudioEndpointVolume> endpoint_volume_;

  CAudioEventCallback volume_callback_;
  CAudioEndpointNotify device_notify_;
  // Set by the notification client, reset by the watcher; created before the first open and
  // closed only after the watcher has ended and the client is unregistered.
  UniqueHandle device_changed_;
  WorkerThread watcher_;
};

}  // namespace halvaro

// The registered callbacks of one process and the notification thread that calls them.
//
// A registration is counted in the shared listener tables, so that changes made in any
// process wake this one. The thread runs while the process has registrations: it waits on the
// process's wake event, reads the new change entries and calls each matching callback, one
// call at a time, never under a lock. It ends by itself once the last registration is gone.
//
// Guarantees:
// - Registration AddRefs the callback; a callback only hears of changes posted after its
//   registration.
// - Once Remove* has returned, no call on that callback begins, and a call in progress has
//   finished, unless Remove* runs on the notification thread itself (from inside a callback):
//   then it does not wait. The wait for a call in progress is bounded; one that runs out is
//   counted in unregister_timeouts. Remove* releases its reference after that; the last
//   reference goes after the last call.
// - When Remove* takes the last registration away, it also waits (bounded) for the thread to
//   end, unless it runs on that thread.
//
// Threading: every method may be called from any thread, the notification thread included.
#pragma once

#include <windows.h>
#include <endpointvolume.h>
#include <mmdeviceapi.h>
#include <wrl/client.h>

#include <array>
#include <cstdint>
#include <mutex>
#include <vector>

#include "common/locks.h"
#include "common/unique_resource.h"
#include "common/worker_thread.h"
#include "sim/audio/audio_record.h"
#include "sim/audio/shared_state.h"
#include "sim/common/condition.h"

namespace simaudio {

class NotificationDispatcher {
 public:
  // The process's dispatcher, made on first use and never destroyed: registrations that a
  // program never removed stay served until it exits.
  static NotificationDispatcher& ForProcess(SharedState& state);

  // S_OK; E_OUTOFMEMORY when a table is full; E_FAIL when the thread cannot start.
  HRESULT AddVolumeCallback(const wchar_t* device, IAudioEndpointVolumeCallback* callback);
  HRESULT AddClient(IMMNotificationClient* client);
  // S_OK; E_NOTFOUND when that callback is not registered (on that device).
  HRESULT RemoveVolumeCallback(const wchar_t* device, IAudioEndpointVolumeCallback* callback);
  HRESULT RemoveClient(IMMNotificationClient* client);

 private:
  struct Registration {
    uint64_t id = 0;  // increasing: the order of registration
    uint32_t since = 0;  // sequence of the newest change at registration
    wchar_t device[kNameSize] = {};  // volume callbacks only
    Microsoft::WRL::ComPtr<IAudioEndpointVolumeCallback> volume;
    Microsoft::WRL::ComPtr<IMMNotificationClient> client;
  };

  explicit NotificationDispatcher(SharedState& state) : state_(state) {}

  HRESULT Add(Registration registration);
  template <typename Match>
  HRESULT Remove(Match match);
  bool OnNotificationThread() const;  // caller holds lock_
  void Run(HANDLE stop_event);
  void Deliver(const ChangeRecord& change);
  static bool Matches(const Registration& registration, const ChangeRecord& change);

  SharedState& state_;
  halvaro::UniqueHandle wake_;  // set once, under lock_, before the first thread starts

  halvaro::Lock lock_;  // taken before the shared lock, never the other way round
  simcommon::Condition changed_;  // in_flight_ or thread_alive_ changed
  std::vector<Registration> registrations_;  // guarded by lock_, in id order
  uint64_t next_id_ = 1;                     // guarded by lock_
  uint64_t in_flight_ = 0;  // guarded by lock_: the registration being called, or 0
  bool thread_alive_ = false;         // guarded by lock_: the thread has not decided to end
  DWORD thread_id_ = 0;               // guarded by lock_
  halvaro::WorkerThread thread_;      // guarded by lock_

  // The notification thread's own; set before the thread starts.
  uint32_t seen_ = 0;
  std::array<ChangeRecord, kRingCapacity> changes_{};
};

}  // namespace simaudio

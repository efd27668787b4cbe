#include "sim/audio/notification_dispatcher.h"

#include <algorithm>
#include <chrono>
#include <cwchar>
#include <optional>
#include <utility>

#include "sim/audio/audio_model.h"

namespace simaudio {
namespace {

// The wake event is the fast path; the poll only bounds what a lost wake-up could cost.
constexpr DWORD kPollMs = 1000;
// How long Remove* waits for a call in progress, and for the thread to end.
constexpr auto kCallWait = std::chrono::seconds(5);
constexpr DWORD kThreadEndWaitMs = 5000;

bool SameName(const wchar_t* a, const wchar_t* b) { return _wcsnicmp(a, b, kNameSize) == 0; }

}  // namespace

NotificationDispatcher& NotificationDispatcher::ForProcess(SharedState& state) {
  static auto* const dispatcher = new NotificationDispatcher(state);
  return *dispatcher;
}

HRESULT NotificationDispatcher::AddVolumeCallback(const wchar_t* device,
                                                  IAudioEndpointVolumeCallback* callback) {
  Registration registration;
  if (!CopyName(registration.device, device)) return E_INVALIDARG;
  registration.volume = callback;
  return Add(std::move(registration));
}

HRESULT NotificationDispatcher::AddClient(IMMNotificationClient* client) {
  Registration registration;
  registration.client = client;
  return Add(std::move(registration));
}

HRESULT NotificationDispatcher::RemoveVolumeCallback(const wchar_t* device,
                                                     IAudioEndpointVolumeCallback* callback) {
  return Remove([&](const Registration& r) {
    return r.volume.Get() == callback && SameName(r.device, device);
  });
}

HRESULT NotificationDispatcher::RemoveClient(IMMNotificationClient* client) {
  return Remove([&](const Registration& r) { return r.client.Get() == client; });
}

HRESULT NotificationDispatcher::Add(Registration registration) {
  std::lock_guard<halvaro::Lock> guard(lock_);
  if (!wake_) {
    wake_ = CreateOwnWakeEvent();
    if (!wake_) return E_FAIL;
  }
  // Room first: nothing may throw once the registration is counted.
  registrations_.reserve(registrations_.size() + 1);
  const wchar_t* device = registration.volume ? registration.device : nullptr;
  const std::optional<uint32_t> since = state_.AddRegistration(device);
  if (!since) return E_OUTOFMEMORY;
  registration.since = *since;
  registration.id = next_id_++;

  if (!thread_alive_) {
    // A thread that has decided to end may still be on its way out; it takes lock_ no more.
    bool started = thread_.Stop(kThreadEndWaitMs);
    if (started) {
      seen_ = *since;
      try {
        started = thread_.Start([this](HANDLE stop_event) { Run(stop_event); });
      } catch (...) {
        started = false;
      }
    }
    if (!started) {
      state_.RemoveRegistration(device);
      return E_FAIL;
    }
    thread_alive_ = true;
  }
  registrations_.push_back(std::move(registration));
  return S_OK;
}

template <typename Match>
HRESULT NotificationDispatcher::Remove(Match match) {
  Registration removed;
  {
    std::unique_lock<halvaro::Lock> guard(lock_);
    const auto found = std::find_if(registrations_.begin(), registrations_.end(), match);
    if (found == registrations_.end()) return E_NOTFOUND;
    removed = std::move(*found);
    registrations_.erase(found);
    state_.RemoveRegistration(removed.volume ? removed.device : nullptr);

    // On the notification thread the call in progress is the caller's own: waiting for it,
    // or for the thread to end, would never finish.
    if (!OnNotificationThread()) {
      const uint64_t id = removed.id;
      if (!changed_.wait_for(guard, kCallWait, [&] { return in_flight_ != id; })) {
        state_.Locked([](StateRecord& r) { return ++r.unregister_timeouts; });
      }
      if (registrations_.empty() && thread_alive_) {
        SetEvent(wake_.get());
        const bool ended = changed_.wait_for(
            guard, kCallWait, [&] { return !thread_alive_ || !registrations_.empty(); });
        // Past thread_alive_ = false the thread takes lock_ no more, so it is joined here.
        if (ended && !thread_alive_) thread_.Stop(kThreadEndWaitMs);
      }
    }
  }
  // Outside the lock: the last Release may run the callback's destructor, which may well
  // call into this dispatcher again.
  removed.volume.Reset();
  removed.client.Reset();
  return S_OK;
}

bool NotificationDispatcher::OnNotificationThread() const {
  return thread_id_ != 0 && thread_id_ == GetCurrentThreadId();
}

void NotificationDispatcher::Run(HANDLE stop_event) {
  {
    std::lock_guard<halvaro::Lock> guard(lock_);
    thread_id_ = GetCurrentThreadId();
  }
  const HANDLE waits[] = {stop_event, wake_.get()};
  bool stop = false;
  for (;;) {
    const uint32_t count = state_.ReadChanges(&seen_, changes_.data());
    for (uint32_t i = 0; i < count; ++i) Deliver(changes_[i]);
    {
      // The decision to end and the flag that says so are one step under lock_, so that a
      // registration added meanwhile either keeps this thread or starts a new one.
      std::lock_guard<halvaro::Lock> guard(lock_);
      if (stop || registrations_.empty()) {
        thread_alive_ = false;
        thread_id_ = 0;
        changed_.notify_all();
        return;
      }
    }
    stop = WaitForMultipleObjects(2, waits, FALSE, kPollMs) == WAIT_OBJECT_0;
  }
}

void NotificationDispatcher::Deliver(const ChangeRecord& change) {
  uint64_t cursor = 0;  // registrations are called in id order, each at most once
  for (;;) {
    Microsoft::WRL::ComPtr<IAudioEndpointVolumeCallback> volume;
    Microsoft::WRL::ComPtr<IMMNotificationClient> client;
    {
      std::lock_guard<halvaro::Lock> guard(lock_);
      const auto next = std::find_if(
          registrations_.begin(), registrations_.end(),
          [&](const Registration& r) { return r.id > cursor && Matches(r, change); });
      if (next == registrations_.end()) return;
      cursor = next->id;
      in_flight_ = cursor;
      // A reference of the call's own: a callback that unregisters itself from inside the
      // call stays alive until the call returns.
      volume = next->volume;
      client = next->client;
    }
    try {
      if (volume) {
        // One channel: the declared struct holds afChannelVolumes[0].
        AUDIO_VOLUME_NOTIFICATION_DATA data{};
        data.guidEventContext = change.context;
        data.bMuted = change.muted != 0 ? TRUE : FALSE;
        data.fMasterVolume = change.level;
        data.nChannels = 1;
        data.afChannelVolumes[0] = change.level;
        volume->OnNotify(&data);
      } else {
        client->OnDefaultDeviceChanged(static_cast<EDataFlow>(change.flow),
                                       static_cast<ERole>(change.role),
                                       change.device[0] != L'\0' ? change.device : nullptr);
      }
    } catch (...) {
      // A callback that throws breaks the COM rules; the thread goes on with the others.
    }
    volume.Reset();
    client.Reset();
    std::lock_guard<halvaro::Lock> guard(lock_);
    in_flight_ = 0;
    changed_.notify_all();
  }
}

bool NotificationDispatcher::Matches(const Registration& registration,
                                     const ChangeRecord& change) {
  // Posted after the registration (sequence order, modulo 2^32).
  if (static_cast<int32_t>(change.sequence - registration.since) <= 0) return false;
  if (change.kind == kVolumeChange) {
    return registration.volume && SameName(registration.device, change.device);
  }
  return change.kind == kDefaultChange && registration.client;
}

}  // namespace simaudio

#include "volume/volume_monitor.h"

#include <objbase.h>

#include "common/com_apartment.h"
#include "volume/endpoint_conversion.h"

namespace halvaro {

namespace {

using Microsoft::WRL::ComPtr;

}  // namespace

bool SystemUsesMixer() {
  OSVERSIONINFOW version = {};
  version.dwOSVersionInfoSize = sizeof(version);
  GetVersionExW(&version);
  return version.dwMajorVersion <= 5;
}

VolumeMonitor::VolumeMonitor() {
  use_mixer_ = SystemUsesMixer();
  if (!use_mixer_) {
    // The event exists before the first open hands it to the notification client.
    device_changed_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    watcher_started_ = watcher_.Start([this](HANDLE stop) { WatchDefaultDevice(stop); });
  }
  std::lock_guard<Lock> changing(backend_lock_);
  Reinitialize();
}

VolumeMonitor::~VolumeMonitor() {
  watcher_.Stop(INFINITE);  // a re-initialisation in progress finishes first
  std::lock_guard<Lock> changing(backend_lock_);
  CloseBackend();
  ReleaseEnumerator();  // also one kept after an open that found no device
}

void VolumeMonitor::Reinitialize() {
  if (kind_ != kNoBackend) CloseBackend();
  if (use_mixer_) {
    auto mixer = std::make_unique<MixerVolume>();
    if (!mixer->Open()) return;  // destroyed here, with no lock held but backend_lock_
    std::lock_guard<Lock> guard(lock_);
    mixer_ = std::move(mixer);
    kind_ = kMixerBackend;
    return;
  }
  if (OpenEndpoint()) kind_ = kEndpointBackend;
}

bool VolumeMonitor::OpenEndpoint() {
  ReleaseEnumerator();  // one kept from an open that found no device holds the client
  ComPtr<IMMDeviceEnumerator> enumerator;
  if (FAILED(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                              __uuidof(IMMDeviceEnumerator),
                              reinterpret_cast<void**>(enumerator.GetAddressOf())))) {
    return false;
  }
  device_notify_.SetEvent(device_changed_.get());
  notify_registered_ = SUCCEEDED(enumerator->RegisterEndpointNotificationCallback(&device_notify_));
  // Kept even when there is no default device, so that one added later is noticed.
  enumerator_ = enumerator;

  ComPtr<IMMDevice> device;
  if (FAILED(enumerator->GetDefaultAudioEndpoint(eRender, eConsole, device.GetAddressOf()))) {
    return false;
  }
  ComPtr<IAudioEndpointVolume> volume;
  device->Activate(__uuidof(IAudioEndpointVolume), CLSCTX_ALL, nullptr,
                   reinterpret_cast<void**>(volume.GetAddressOf()));
  std::lock_guard<Lock> guard(lock_);
  endpoint_volume_ = volume;  // may stay null: every operation then acts as with no backend
  return true;
}

void VolumeMonitor::ReleaseEnumerator() {
  if (enumerator_ && notify_registered_) {
    enumerator_->UnregisterEndpointNotificationCallback(&device_notify_);
  }
  notify_registered_ = false;
  enumerator_.Reset();
}

void VolumeMonitor::CloseBackend() {
  // Registrations go first, with lock_ free: a notification in flight reads the volume and
  // finishes before the unregistration returns.
  ComPtr<IAudioEndpointVolume> endpoint;
  MixerVolume* mixer = nullptr;
  {
    std::lock_guard<Lock> guard(lock_);
    endpoint = endpoint_volume_;
    mixer = mixer_.get();
  }
  if (endpoint && volume_callback_registered_) {
    endpoint->UnregisterControlChangeNotify(&volume_callback_);
  }
  volume_callback_registered_ = false;
  if (mixer) mixer->SetChangeCallback(nullptr, 0);
  if (kind_ == kEndpointBackend) ReleaseEnumerator();

  std::unique_ptr<MixerVolume> detached_mixer;
  {
    std::lock_guard<Lock> guard(lock_);
    detached_mixer = std::move(mixer_);
    endpoint_volume_.Reset();
    kind_ = kNoBackend;
  }
  if (detached_mixer) detached_mixer->Close();
  // detached_mixer is destroyed here: its window thread ends before it is freed.
}

void VolumeMonitor::SetChangeCallback(VolumeChangeCallback callback, uint32_t user_data) {
  std::lock_guard<Lock> changing(backend_lock_);
  InstallCallback(callback, user_data);
}

void VolumeMonitor::InstallCallback(VolumeChangeCallback callback, uint32_t user_data) {
  MixerVolume* mixer = nullptr;
  ComPtr<IAudioEndpointVolume> endpoint;
  {
    std::lock_guard<Lock> guard(lock_);
    mixer = mixer_.get();
    endpoint = endpoint_volume_;
  }
  if (kind_ == kMixerBackend && mixer) {
    mixer->SetChangeCallback(callback, user_data);
  } else if (kind_ == kEndpointBackend && endpoint) {
    if (volume_callback_registered_) {
      endpoint->UnregisterControlChangeNotify(&volume_callback_);
      volume_callback_registered_ = false;
    }
    if (callback) {
      volume_callback_.Set(callback, this, user_data);
      endpoint->RegisterControlChangeNotify(&volume_callback_);
      volume_callback_registered_ = true;
    } else {
      volume_callback_.Set(nullptr, this, user_data);
    }
  } else {
    return;  // no backend: nothing is stored
  }
  std::lock_guard<Lock> calls(watcher_call_lock_);  // a watcher's call finishes first
  callback_ = callback;
  user_data_ = user_data;
}

uint32_t VolumeMonitor::GetVolume() {
  std::lock_guard<Lock> guard(lock_);
  if (kind_ == kMixerBackend && mixer_) {
    uint32_t value = 0;
    return mixer_->GetVolume(&value) ? value : 0;
  }
  if (kind_ == kEndpointBackend && endpoint_volume_) {
    float level = 0.0f;
    endpoint_volume_->GetMasterVolumeLevelScalar(&level);
    return RawVolumeFromLevel(level);
  }
  return 0;
}

bool VolumeMonitor::SetVolume(uint32_t raw) {
  std::lock_guard<Lock> guard(lock_);
  if (kind_ == kMixerBackend && mixer_) return mixer_->SetVolume(raw);
  if (kind_ == kEndpointBackend && endpoint_volume_) {
    endpoint_volume_->SetMute(FALSE, nullptr);
    return SUCCEEDED(
        endpoint_volume_->SetMasterVolumeLevelScalar(LevelFromRawVolume(raw), nullptr));
  }
  return false;
}

uint32_t VolumeMonitor::IsMuted() {
  std::lock_guard<Lock> guard(lock_);
  if (kind_ == kMixerBackend && mixer_) {
    uint32_t value = 0;
    return mixer_->IsMuted(&value) ? value : 0;
  }
  if (kind_ == kEndpointBackend && endpoint_volume_) {
    BOOL muted = FALSE;
    endpoint_volume_->GetMute(&muted);
    return muted ? 1 : 0;
  }
  return 0;
}

void VolumeMonitor::Unmute() {
  std::lock_guard<Lock> guard(lock_);
  if (kind_ == kMixerBackend && mixer_) {
    mixer_->Unmute();
  } else if (kind_ == kEndpointBackend && endpoint_volume_) {
    endpoint_volume_->SetMute(FALSE, nullptr);
  }
}

VolumeBounds VolumeMonitor::GetVolumeBounds() {
  std::lock_guard<Lock> guard(lock_);
  if (kind_ == kMixerBackend && mixer_) return mixer_->Bounds();
  if (kind_ == kEndpointBackend) return VolumeBounds{0, 65535};
  return VolumeBounds{0, 0xFFFFFFFFu};
}

void VolumeMonitor::WatchDefaultDevice(HANDLE stop_event) {
  ComApartment apartment;  // the re-opened backend lives in the multithreaded apartment
  HANDLE waits[] = {stop_event, device_changed_.get()};
  for (;;) {
    const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    if (woke == WAIT_OBJECT_0 || woke == WAIT_FAILED) return;
    if (woke != WAIT_OBJECT_0 + 1) continue;
    // Changes during the pause and the re-opening fold into this one re-initialisation.
    if (WaitForSingleObject(stop_event, kDeviceChangeSettleMs) == WAIT_OBJECT_0) return;
    {
      std::lock_guard<Lock> changing(backend_lock_);
      Reinitialize();
      if (callback_) InstallCallback(callback_, user_data_);
    }
    {
      // Read again under the call lock: a SetChangeCallback in between has the last word.
      std::lock_guard<Lock> calls(watcher_call_lock_);
      if (callback_) callback_(GetVolume(), user_data_);  // 0 when nothing could be opened
    }
    ResetEvent(device_changed_.get());
  }
}

}  // namespace halvaro

// The two COM callback objects of the endpoint backend: the volume callback registered with
// the endpoint volume, and the notification client registered with the device enumerator.
//
// Both are members of their VolumeMonitor, not separate allocations: the owner's initial
// reference is never given back, so Release never frees them.
//
// Threading: the platform calls both on its notification threads. The volume callback's
// fields are set while it is not registered and read by OnNotify; they are atomic so that a
// late reader sees whole values. OnNotify holds no lock across the change callback. The
// notification client only sets an event that it borrows from its monitor.
#pragma once

#include <windows.h>
#include <endpointvolume.h>
#include <mmdeviceapi.h>

#include <atomic>
#include <cstdint>

#include "volume/volume_types.h"

namespace halvaro {

class VolumeMonitor;

class CAudioEventCallback : public IAudioEndpointVolumeCallback {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  // Calls the change callback with the level the notification carries: the endpoint it is
  // registered on reports there what GetVolume would read at this moment. Without data the
  // volume is read through the owner. E_FAIL when no callback is set.
  HRESULT STDMETHODCALLTYPE OnNotify(PAUDIO_VOLUME_NOTIFICATION_DATA data) override;

  void Set(VolumeChangeCallback callback, VolumeMonitor* owner, uint32_t user_data);

 private:
  std::atomic<LONG> references_{1};
  std::atomic<VolumeChangeCallback> callback_{nullptr};
  std::atomic<uint32_t> user_data_{0};
  std::atomic<VolumeMonitor*> owner_{nullptr};
};

class CAudioEndpointNotify : public IMMNotificationClient {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR device, DWORD state) override;
  HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR device) override;
  HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR device) override;
  // Sets the borrowed event for the render flow's console role only.
  HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow flow, ERole role,
                                                   LPCWSTR device) override;
  HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR device,
                                                   const PROPERTYKEY key) override;

  // The monitor's device-changed event; the client uses it but does not own it.
  void SetEvent(HANDLE device_changed) { event_ = device_changed; }

 private:
  std::atomic<LONG> references_{1};
  std::atomic<HANDLE> event_{nullptr};
};

}  // namespace halvaro

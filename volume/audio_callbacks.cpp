#include "volume/audio_callbacks.h"

#include "volume/endpoint_conversion.h"
#include "volume/volume_monitor.h"

namespace halvaro {

HRESULT STDMETHODCALLTYPE CAudioEventCallback::QueryInterface(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  if (IsEqualIID(iid, IID_IUnknown)) {
    AddRef();
    *object = static_cast<IUnknown*>(this);
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CAudioEventCallback::AddRef() { return ++references_; }

// The owner holds the first reference for the member's whole life: never 0 here.
ULONG STDMETHODCALLTYPE CAudioEventCallback::Release() { return --references_; }

HRESULT STDMETHODCALLTYPE CAudioEventCallback::OnNotify(PAUDIO_VOLUME_NOTIFICATION_DATA data) {
  const VolumeChangeCallback callback = callback_.load();
  VolumeMonitor* owner = owner_.load();
  if (!callback || !owner) return E_FAIL;
  try {
    const uint32_t raw = data ? RawVolumeFromLevel(data->fMasterVolume) : owner->GetVolume();
    callback(raw, user_data_.load());
  } catch (...) {
    // Nothing may unwind into the platform's notification thread.
  }
  return S_OK;
}

void CAudioEventCallback::Set(VolumeChangeCallback callback, VolumeMonitor* owner,
                              uint32_t user_data) {
  owner_ = owner;
  user_data_ = user_data;
  callback_ = callback;
}

HRESULT STDMETHODCALLTYPE CAudioEndpointNotify::QueryInterface(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, __uuidof(IMMNotificationClient))) {
    AddRef();
    *object = static_cast<IMMNotificationClient*>(this);
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CAudioEndpointNotify::AddRef() { return ++references_; }
ULONG STDMETHODCALLTYPE CAudioEndpointNotify::Release() { return --references_; }

HRESULT STDMETHODCALLTYPE CAudioEndpointNotify::OnDeviceStateChanged(LPCWSTR, DWORD) {
  return S_OK;
}
HRESULT STDMETHODCALLTYPE CAudioEndpointNotify::OnDeviceAdded(LPCWSTR) { return S_OK; }
HRESULT STDMETHODCALLTYPE CAudioEndpointNotify::OnDeviceRemoved(LPCWSTR) { return S_OK; }

HRESULT STDMETHODCALLTYPE CAudioEndpointNotify::OnDefaultDeviceChanged(EDataFlow flow,
                                                                       ERole role, LPCWSTR) {
  if (flow == eRender && role == eConsole) {
    if (HANDLE event = event_.load()) ::SetEvent(event);
  }
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CAudioEndpointNotify::OnPropertyValueChanged(LPCWSTR,
                                                                       const PROPERTYKEY) {
  return S_OK;
}

}  // namespace halvaro

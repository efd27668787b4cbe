// The default playback endpoint's volume interface, opened the way any other program would,
// and the plainest change callback on it: the baselines of the volume benchmarks.
// Call on a thread that is in a COM apartment.
#pragma once

#include <windows.h>
#include <endpointvolume.h>
#include <mmdeviceapi.h>
#include <wrl/client.h>

#include <functional>
#include <utility>

namespace halvaro {

inline Microsoft::WRL::ComPtr<IAudioEndpointVolume> DefaultEndpoint() {
  Microsoft::WRL::ComPtr<IMMDeviceEnumerator> enumerator;
  Microsoft::WRL::ComPtr<IMMDevice> device;
  Microsoft::WRL::ComPtr<IAudioEndpointVolume> volume;
  if (FAILED(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                              __uuidof(IMMDeviceEnumerator),
                              reinterpret_cast<void**>(enumerator.GetAddressOf()))) ||
      FAILED(enumerator->GetDefaultAudioEndpoint(eRender, eConsole, device.GetAddressOf())) ||
      FAILED(device->Activate(__uuidof(IAudioEndpointVolume), CLSCTX_ALL, nullptr,
                              reinterpret_cast<void**>(volume.GetAddressOf())))) {
    return nullptr;
  }
  return volume;
}

// Runs `on_notify` on the endpoint's notification thread for every change; owned by the
// caller, which unregisters it before it goes.
class BareCallback : public IAudioEndpointVolumeCallback {
 public:
  explicit BareCallback(std::function<void()> on_notify) : on_notify_(std::move(on_notify)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, __uuidof(IAudioEndpointVolumeCallback))) {
      *object = this;
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE OnNotify(PAUDIO_VOLUME_NOTIFICATION_DATA) override {
    on_notify_();
    return S_OK;
  }

 private:
  std::function<void()> on_notify_;
};

}  // namespace halvaro

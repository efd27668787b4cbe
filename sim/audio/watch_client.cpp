#include "sim/audio/watch_client.h"

#include <endpointvolume.h>
#include <mmdeviceapi.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdio>

#include "common/com_apartment.h"
#include "sim/audio/level_text.h"

namespace simaudio {
namespace {

using Microsoft::WRL::ComPtr;

// CLSID_MMDeviceEnumerator; spelled here so that no GUID library has to define it.
constexpr CLSID kEnumeratorClsid = {
    0xBCDE0395, 0xE52F, 0x467C, {0x8E, 0x3D, 0xC4, 0x57, 0x92, 0x91, 0x69, 0x2E}};

// Both callbacks live on RunWatch's stack and outlive their registrations; their counts show
// at the end whether the server gave back every reference it took.
class VolumePrinter final : public IAudioEndpointVolumeCallback {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (riid != __uuidof(IUnknown) && riid != __uuidof(IAudioEndpointVolumeCallback)) {
      return E_NOINTERFACE;
    }
    AddRef();
    *out = static_cast<IAudioEndpointVolumeCallback*>(this);
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override { return --refs_; }

  STDMETHODIMP OnNotify(AUDIO_VOLUME_NOTIFICATION_DATA* data) override {
    if (data == nullptr) return E_POINTER;
    wchar_t level[kLevelTextSize];
    FormatLevel(data->fMasterVolume, level);
    std::wprintf(L"volume level=%ls muted=%d\n", level, data->bMuted ? 1 : 0);
    std::fflush(stdout);
    ++notifications_;
    return S_OK;
  }

  ULONG refs() const { return refs_; }
  ULONG notifications() const { return notifications_; }

 private:
  std::atomic<ULONG> refs_{0};
  std::atomic<ULONG> notifications_{0};
};

class DefaultPrinter final : public IMMNotificationClient {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (riid != __uuidof(IUnknown) && riid != __uuidof(IMMNotificationClient)) {
      return E_NOINTERFACE;
    }
    AddRef();
    *out = static_cast<IMMNotificationClient*>(this);
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override { return --refs_; }

  STDMETHODIMP OnDefaultDeviceChanged(EDataFlow flow, ERole role, LPCWSTR id) override {
    std::wprintf(L"default flow=%d role=%d id=%ls\n", static_cast<int>(flow),
                 static_cast<int>(role), id != nullptr ? id : L"none");
    std::fflush(stdout);
    ++notifications_;
    return S_OK;
  }
  STDMETHODIMP OnDeviceStateChanged(LPCWSTR, DWORD) override { return S_OK; }
  STDMETHODIMP OnDeviceAdded(LPCWSTR) override { return S_OK; }
  STDMETHODIMP OnDeviceRemoved(LPCWSTR) override { return S_OK; }
  STDMETHODIMP OnPropertyValueChanged(LPCWSTR, const PROPERTYKEY) override { return S_OK; }

  ULONG refs() const { return refs_; }
  ULONG notifications() const { return notifications_; }

 private:
  std::atomic<ULONG> refs_{0};
  std::atomic<ULONG> notifications_{0};
};

int Failed(const wchar_t* step, HRESULT result) {
  std::fwprintf(stderr, L"SimAudio: %ls failed (0x%08lX)\n", step,
                static_cast<unsigned long>(result));
  return 1;
}

}  // namespace

int RunWatch(DWORD seconds) {
  halvaro::ComApartment apartment(COINIT_MULTITHREADED);
  if (!apartment.ok()) return Failed(L"CoInitializeEx", apartment.result());
  VolumePrinter volume_printer;
  DefaultPrinter default_printer;
  int exit_code = 0;
  {
    ComPtr<IMMDeviceEnumerator> enumerator;
    HRESULT result = CoCreateInstance(kEnumeratorClsid, nullptr, CLSCTX_ALL,
                                      IID_PPV_ARGS(enumerator.GetAddressOf()));
    if (FAILED(result)) return Failed(L"CoCreateInstance", result);
    result = enumerator->RegisterEndpointNotificationCallback(&default_printer);
    if (FAILED(result)) return Failed(L"RegisterEndpointNotificationCallback", result);

    // Without a default console device only the defaults are watched.
    ComPtr<IMMDevice> device;
    ComPtr<IAudioEndpointVolume> volume;
    LPWSTR id = nullptr;
    result = enumerator->GetDefaultAudioEndpoint(eRender, eConsole, device.GetAddressOf());
    if (SUCCEEDED(result)) result = device->GetId(&id);
    if (SUCCEEDED(result)) {
      result = device->Activate(__uuidof(IAudioEndpointVolume), CLSCTX_ALL, nullptr,
                                reinterpret_cast<void**>(volume.GetAddressOf()));
    }
    if (SUCCEEDED(result)) result = volume->RegisterControlChangeNotify(&volume_printer);
    if (FAILED(result)) volume.Reset();
    std::wprintf(L"watching=%ls\nwatch_result=0x%08lX\nseconds=%lu\n",
                 volume && id != nullptr ? id : L"none", static_cast<unsigned long>(result),
                 static_cast<unsigned long>(seconds));
    std::fflush(stdout);
    CoTaskMemFree(id);

    Sleep(seconds * 1000);

    if (volume) {
      result = volume->UnregisterControlChangeNotify(&volume_printer);
      if (FAILED(result)) exit_code = Failed(L"UnregisterControlChangeNotify", result);
    }
    result = enumerator->UnregisterEndpointNotificationCallback(&default_printer);
    if (FAILED(result)) exit_code = Failed(L"UnregisterEndpointNotificationCallback", result);
  }
  // References still held by the server after everything was unregistered and released.
  std::wprintf(L"volume_notifications=%lu\ndefault_notifications=%lu\n"
               L"volume_callback_refs=%lu\nclient_refs=%lu\n",
               volume_printer.notifications(), default_printer.notifications(),
               volume_printer.refs(), default_printer.refs());
  std::fflush(stdout);
  return exit_code;
}

}  // namespace simaudio

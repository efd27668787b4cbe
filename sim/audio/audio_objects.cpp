#include "sim/audio/audio_objects.h"

#include <audioclient.h>
#include <endpointvolume.h>
#include <mmdeviceapi.h>

#include <cstring>
#include <cwchar>
#include <new>
#include <optional>

#include "sim/audio/audio_model.h"
#include "sim/audio/notification_dispatcher.h"
#include "sim/audio/shared_state.h"
#include "sim/audio/sim_object.h"

namespace simaudio {
namespace {

// The process's state, opened on first use and deliberately never closed: the DLL stays loaded
// for the life of the process (see DllCanUnloadNow), and released objects still use it.
SharedState* ProcessState() {
  static auto* const state = new std::optional<SharedState>(SharedState::Open());
  return state->has_value() ? &**state : nullptr;
}

// No exception may leave a COM method; the dispatcher's tables can run out of memory.
template <typename F>
HRESULT Guarded(F&& f) {
  try {
    return f();
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

// ---------------------------------------------------------------------------------------------
// The volume control of one device, read from and written to the shared record on each call.
class EndpointVolume final : public SimObject<IAudioEndpointVolume> {
 public:
  EndpointVolume(SharedState& state, const wchar_t* device) : SimObject(state) {
    CopyName(device_, device);
  }

  STDMETHODIMP RegisterControlChangeNotify(IAudioEndpointVolumeCallback* callback) override {
    if (Zombie()) return kReleasedResult;
    if (callback == nullptr) return E_POINTER;
    return Guarded([&] {
      return NotificationDispatcher::ForProcess(state_).AddVolumeCallback(device_, callback);
    });
  }
  STDMETHODIMP UnregisterControlChangeNotify(IAudioEndpointVolumeCallback* callback) override {
    if (Zombie()) return kReleasedResult;
    if (callback == nullptr) return E_POINTER;
    return Guarded([&] {
      return NotificationDispatcher::ForProcess(state_).RemoveVolumeCallback(device_, callback);
    });
  }

  STDMETHODIMP GetMasterVolumeLevelScalar(float* level) override {
    if (Zombie()) return kReleasedResult;
    if (level == nullptr) return E_POINTER;
    const std::optional<DeviceRecord> device = Read();
    if (!device) return AUDCLNT_E_DEVICE_INVALIDATED;
    *level = device->level;
    return S_OK;
  }
  STDMETHODIMP SetMasterVolumeLevelScalar(float level, LPCGUID context) override {
    if (Zombie()) return kReleasedResult;
    if (!(level >= 0.0f && level <= 1.0f)) return E_INVALIDARG;  // NaN included
    if (state_.Locked([](StateRecord& r) { return r.fault_set != 0; })) return E_NOTIMPL;
    const GUID event_context = context != nullptr ? *context : GUID_NULL;
    const bool found = state_.Update([&](StateRecord& r) {
      const int32_t slot = FindDevice(r, device_);
      if (slot == kNoDevice) return false;
      SetLevel(r, slot, level, event_context);
      return true;
    });
    return found ? S_OK : AUDCLNT_E_DEVICE_INVALIDATED;
  }
  STDMETHODIMP GetMute(BOOL* muted) override {
    if (Zombie()) return kReleasedResult;
    if (muted == nullptr) return E_POINTER;
    const std::optional<DeviceRecord> device = Read();
    if (!device) return AUDCLNT_E_DEVICE_INVALIDATED;
    *muted = device->muted != 0 ? TRUE : FALSE;
    return S_OK;
  }
  // S_FALSE when the mute state was already that one, as the platform answers; nothing is
  // notified then.
  STDMETHODIMP SetMute(BOOL muted, LPCGUID context) override {
    if (Zombie()) return kReleasedResult;
    const GUID event_context = context != nullptr ? *context : GUID_NULL;
    const int outcome = state_.Update([&](StateRecord& r) {
      const int32_t slot = FindDevice(r, device_);
      if (slot == kNoDevice) return -1;
      return simaudio::SetMute(r, slot, muted != FALSE, event_context) ? 1 : 0;
    });
    if (outcome < 0) return AUDCLNT_E_DEVICE_INVALIDATED;
    return outcome > 0 ? S_OK : S_FALSE;
  }

  // Not used by the program under test.
  STDMETHODIMP GetChannelCount(UINT*) override { return NotImplemented(); }
  STDMETHODIMP SetMasterVolumeLevel(float, LPCGUID) override { return NotImplemented(); }
  STDMETHODIMP GetMasterVolumeLevel(float*) override { return NotImplemented(); }
  STDMETHODIMP SetChannelVolumeLevel(UINT, float, LPCGUID) override { return NotImplemented(); }
  STDMETHODIMP SetChannelVolumeLevelScalar(UINT, float, LPCGUID) override {
    return NotImplemented();
  }
  STDMETHODIMP GetChannelVolumeLevel(UINT, float*) override { return NotImplemented(); }
  STDMETHODIMP GetChannelVolumeLevelScalar(UINT, float*) override { return NotImplemented(); }
  STDMETHODIMP GetVolumeStepInfo(UINT*, UINT*) override { return NotImplemented(); }
  STDMETHODIMP VolumeStepUp(LPCGUID) override { return NotImplemented(); }
  STDMETHODIMP VolumeStepDown(LPCGUID) override { return NotImplemented(); }
  STDMETHODIMP QueryHardwareSupport(DWORD*) override { return NotImplemented(); }
  STDMETHODIMP GetVolumeRange(float*, float*, float*) override { return NotImplemented(); }

 private:
  std::optional<DeviceRecord> Read() {
    return state_.Locked([this](StateRecord& r) -> std::optional<DeviceRecord> {
      const int32_t slot = FindDevice(r, device_);
      if (slot == kNoDevice) return std::nullopt;
      return r.devices[slot];
    });
  }
  HRESULT NotImplemented() { return Zombie() ? kReleasedResult : E_NOTIMPL; }

  wchar_t device_[kNameSize] = {};
};

// ---------------------------------------------------------------------------------------------
class Device final : public SimObject<IMMDevice> {
 public:
  Device(SharedState& state, const wchar_t* name) : SimObject(state) { CopyName(name_, name); }

  STDMETHODIMP Activate(REFIID iid, DWORD, PROPVARIANT*, void** out) override {
    if (Zombie()) return kReleasedResult;
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    const int outcome = state_.Locked([this](StateRecord& r) {
      if (r.fault_activate != 0) return -1;
      return FindDevice(r, name_) == kNoDevice ? 0 : 1;
    });
    if (outcome < 0) return E_FAIL;
    if (outcome == 0) return AUDCLNT_E_DEVICE_INVALIDATED;
    if (iid != __uuidof(IAudioEndpointVolume)) return E_NOINTERFACE;
    auto* volume = new (std::nothrow) EndpointVolume(state_, name_);
    if (volume == nullptr) return E_OUTOFMEMORY;
    *out = static_cast<IAudioEndpointVolume*>(volume);  // the reference it was made with
    return S_OK;
  }
  STDMETHODIMP GetId(LPWSTR* id) override {
    if (Zombie()) return kReleasedResult;
    if (id == nullptr) return E_POINTER;
    const size_t bytes = (wcsnlen(name_, kNameSize) + 1) * sizeof(wchar_t);
    *id = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
    if (*id == nullptr) return E_OUTOFMEMORY;
    std::memcpy(*id, name_, bytes);
    return S_OK;
  }
  STDMETHODIMP GetState(DWORD* device_state) override {
    if (Zombie()) return kReleasedResult;
    if (device_state == nullptr) return E_POINTER;
    const bool present =
        state_.Locked([this](StateRecord& r) { return FindDevice(r, name_) != kNoDevice; });
    *device_state = present ? DEVICE_STATE_ACTIVE : DEVICE_STATE_NOTPRESENT;
    return S_OK;
  }

  // Not used by the program under test.
  STDMETHODIMP OpenPropertyStore(DWORD, IPropertyStore** store) override {
    if (store != nullptr) *store = nullptr;
    return Zombie() ? kReleasedResult : E_NOTIMPL;
  }

 private:
  wchar_t name_[kNameSize] = {};
};

// ---------------------------------------------------------------------------------------------
class Enumerator final : public SimObject<IMMDeviceEnumerator> {
 public:
  explicit Enumerator(SharedState& state) : SimObject(state) {}

  STDMETHODIMP GetDefaultAudioEndpoint(EDataFlow flow, ERole role, IMMDevice** out) override {
    if (Zombie()) return kReleasedResult;
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (flow != eRender && flow != eCapture) return E_INVALIDARG;
    if (role < 0 || static_cast<uint32_t>(role) >= kRoleCount) return E_INVALIDARG;
    wchar_t name[kNameSize] = {};
    const bool found = state_.Locked([&](StateRecord& r) {
      const int32_t slot = r.default_device[flow][role];
      return slot != kNoDevice && CopyName(name, r.devices[slot].name);
    });
    if (!found) return E_NOTFOUND;  // what the platform answers on a machine without audio
    auto* device = new (std::nothrow) Device(state_, name);
    if (device == nullptr) return E_OUTOFMEMORY;
    *out = device;
    return S_OK;
  }
  STDMETHODIMP RegisterEndpointNotificationCallback(IMMNotificationClient* client) override {
    if (Zombie()) return kReleasedResult;
    if (client == nullptr) return E_POINTER;
    return Guarded([&] { return NotificationDispatcher::ForProcess(state_).AddClient(client); });
  }
  STDMETHODIMP UnregisterEndpointNotificationCallback(IMMNotificationClient* client) override {
    if (Zombie()) return kReleasedResult;
    if (client == nullptr) return E_POINTER;
    return Guarded(
        [&] { return NotificationDispatcher::ForProcess(state_).RemoveClient(client); });
  }

  // Not used by the program under test.
  STDMETHODIMP EnumAudioEndpoints(EDataFlow, DWORD, IMMDeviceCollection** devices) override {
    if (devices != nullptr) *devices = nullptr;
    return Zombie() ? kReleasedResult : E_NOTIMPL;
  }
  STDMETHODIMP GetDevice(LPCWSTR, IMMDevice** device) override {
    if (device != nullptr) *device = nullptr;
    return Zombie() ? kReleasedResult : E_NOTIMPL;
  }
};

}  // namespace

HRESULT CreateEnumerator(REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  SharedState* state = ProcessState();
  if (state == nullptr) return E_FAIL;
  if (state->Locked([](StateRecord& r) { return r.fault_enumerator != 0; })) {
    return REGDB_E_CLASSNOTREG;  // as if the audio endpoint class were not installed
  }
  // Asked before making one: a refused enumerator would stay behind as a zombie.
  if (riid != __uuidof(IUnknown) && riid != __uuidof(IMMDeviceEnumerator)) return E_NOINTERFACE;
  auto* enumerator = new (std::nothrow) Enumerator(*state);
  if (enumerator == nullptr) return E_OUTOFMEMORY;
  *object = static_cast<IMMDeviceEnumerator*>(enumerator);
  return S_OK;
}

}  // namespace simaudio

// The reference counting that SimAudio.dll's objects share. An object whose last reference
// is released is never freed: it turns into a zombie that counts every further call in
// calls_after_release and answers RPC_E_DISCONNECTED (what a dead proxy gives), so a program
// that keeps using a released object is caught instead of crashing at random.
//
// Threading: free-threaded; the count and the released flag are atomic, the rest lives in
// the shared record.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "sim/audio/shared_state.h"

namespace simaudio {

inline constexpr HRESULT kReleasedResult = RPC_E_DISCONNECTED;

// Interface: the one interface the object answers besides IUnknown.
template <typename Interface>
class SimObject : public Interface {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (Zombie()) return kReleasedResult;
    if (riid != __uuidof(IUnknown) && riid != __uuidof(Interface)) return E_NOINTERFACE;
    ++refs_;
    *out = static_cast<Interface*>(this);
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override {
    if (Zombie()) return 0;
    return ++refs_;
  }
  STDMETHODIMP_(ULONG) Release() override {
    if (Zombie()) return 0;
    const ULONG left = --refs_;
    if (left == 0) {
      released_ = true;
      state_.Locked([this](StateRecord& r) {
        if (r.generation == generation_) --r.objects_alive;
        return 0;
      });
    }
    return left;
  }

 protected:
  explicit SimObject(SharedState& state) : state_(state) {
    generation_ = state_.Locked([](StateRecord& r) {
      ++r.objects_alive;
      return r.generation;
    });
  }
  ~SimObject() = default;  // never called: see the file comment

  // True, and counted, when the object was already released. Every method asks first.
  bool Zombie() {
    if (!released_) return false;
    state_.Locked([](StateRecord& r) { return ++r.calls_after_release; });
    return true;
  }

  SharedState& state_;

 private:
  std::atomic<ULONG> refs_{1};
  std::atomic<bool> released_{false};
  uint32_t generation_ = 0;
};

}  // namespace simaudio

// The class object of a stand-in COM class: it lives as long as its DLL, so it needs no
// reference count, and it hands every creation to one function.
//
// Threading: stateless after construction; any thread may use it.
#pragma once

#include <windows.h>
#include <objbase.h>

namespace simcom {

class StaticClassFactory final : public IClassFactory {
 public:
  using Create = HRESULT (*)(REFIID riid, void** out);
  explicit StaticClassFactory(Create create) : create_(create) {}

  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (riid == __uuidof(IUnknown) || riid == __uuidof(IClassFactory)) {
      *out = this;
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }

  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** out) override {
    if (out != nullptr) *out = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return create_(riid, out);
  }
  STDMETHODIMP LockServer(BOOL) override { return S_OK; }  // never unloaded anyway

 private:
  const Create create_;
};

}  // namespace simcom

// SimWmi.dll's exports: the class object for CLSID_WbemLocator, and self-registration that
// points the locator class of one (test) machine at this DLL and back.
#include <windows.h>
#include <wbemcli.h>

#include "sim/common/com_registration.h"
#include "sim/common/static_class_factory.h"
#include "sim/wmi/wmi_objects.h"

namespace {

constexpr wchar_t kServerKey[] =
    L"CLSID\\{4590F811-1D3A-11D0-891F-00AA004B2E24}\\InprocServer32";
// Where registration keeps the server path it replaced, for unregistration to put back.
constexpr wchar_t kSavedValue[] = L"SimWmiSaved";

simcom::StaticClassFactory g_factory(simwmi::CreateLocator);

}  // namespace

extern "C" {

HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (clsid != CLSID_WbemLocator) return CLASS_E_CLASSNOTAVAILABLE;
  return g_factory.QueryInterface(riid, out);
}

// Never: enumerators that the program released are kept as zombies whose code lives here.
HRESULT STDAPICALLTYPE DllCanUnloadNow() { return S_FALSE; }

HRESULT STDAPICALLTYPE DllRegisterServer() {
  return simcom::RegisterInprocServer(kServerKey, kSavedValue);
}

HRESULT STDAPICALLTYPE DllUnregisterServer() {
  return simcom::UnregisterInprocServer(kServerKey, kSavedValue);
}

}  // extern "C"

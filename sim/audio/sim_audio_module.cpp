// SimAudio.dll's exports: the class object for CLSID_MMDeviceEnumerator, and self-registration
// that points the endpoint enumerator class of one (test) machine at this DLL and back.
#include <windows.h>
#include <objbase.h>

#include "sim/audio/audio_objects.h"
#include "sim/common/com_registration.h"
#include "sim/common/static_class_factory.h"

namespace {

// CLSID_MMDeviceEnumerator; spelled here so that no GUID library has to define it.
constexpr CLSID kEnumeratorClsid = {
    0xBCDE0395, 0xE52F, 0x467C, {0x8E, 0x3D, 0xC4, 0x57, 0x92, 0x91, 0x69, 0x2E}};
constexpr wchar_t kServerKey[] =
    L"CLSID\\{BCDE0395-E52F-467C-8E3D-C4579291692E}\\InprocServer32";
// Where registration keeps the server path it replaced, for unregistration to put back.
constexpr wchar_t kSavedValue[] = L"SimAudioSaved";

simcom::StaticClassFactory g_factory(simaudio::CreateEnumerator);

}  // namespace

extern "C" {

HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (clsid != kEnumeratorClsid) return CLASS_E_CLASSNOTAVAILABLE;
  return g_factory.QueryInterface(riid, out);
}

// Never: released objects are kept as zombies whose code lives here, and a notification
// thread may still be running.
HRESULT STDAPICALLTYPE DllCanUnloadNow() { return S_FALSE; }

HRESULT STDAPICALLTYPE DllRegisterServer() {
  return simcom::RegisterInprocServer(kServerKey, kSavedValue);
}

HRESULT STDAPICALLTYPE DllUnregisterServer() {
  return simcom::UnregisterInprocServer(kServerKey, kSavedValue);
}

}  // extern "C"

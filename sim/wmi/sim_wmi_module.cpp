// SimWmi.dll's exports: the class object for CLSID_WbemLocator, and self-registration that
// points the locator class of one (test) machine at this DLL and back.
#include <windows.h>
#include <olectl.h>
#include <wbemcli.h>

#include <optional>
#include <string>

#include "common/unique_resource.h"
#include "sim/wmi/wmi_objects.h"

namespace {

constexpr wchar_t kServerKey[] =
    L"CLSID\\{4590F811-1D3A-11D0-891F-00AA004B2E24}\\InprocServer32";
// Where registration keeps the server path it replaced, for unregistration to put back.
constexpr wchar_t kSavedValue[] = L"SimWmiSaved";

// The only class object; it lives as long as the DLL, so it needs no reference count.
class LocatorFactory final : public IClassFactory {
 public:
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
    return simwmi::CreateLocator(riid, out);
  }
  STDMETHODIMP LockServer(BOOL) override { return S_OK; }  // never unloaded anyway
};

LocatorFactory g_factory;

std::wstring ThisDllPath() {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                              GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCWSTR>(&g_factory), &module)) {
    return {};
  }
  wchar_t path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
  if (length == 0 || length == MAX_PATH) return {};
  return std::wstring(path, length);
}

// A string value, or nothing when it is missing or not a string.
std::optional<std::wstring> ReadString(HKEY key, const wchar_t* name) {
  const DWORD flags = RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND;
  DWORD bytes = 0;
  if (RegGetValueW(key, nullptr, name, flags, nullptr, nullptr, &bytes) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  std::wstring value(bytes / sizeof(wchar_t) + 1, L'\0');
  bytes = static_cast<DWORD>(value.size() * sizeof(wchar_t));
  if (RegGetValueW(key, nullptr, name, flags, nullptr, value.data(), &bytes) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  value.resize(wcsnlen(value.c_str(), value.size()));
  return value;
}

bool WriteString(HKEY key, const wchar_t* name, const std::wstring& value) {
  const DWORD bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        bytes) == ERROR_SUCCESS;
}

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
  const std::wstring path = ThisDllPath();
  if (path.empty()) return SELFREG_E_CLASS;
  halvaro::UniqueRegKey key;
  if (RegCreateKeyExW(HKEY_CLASSES_ROOT, kServerKey, 0, nullptr, 0,
                      KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, key.put(),
                      nullptr) != ERROR_SUCCESS) {
    return SELFREG_E_CLASS;
  }
  // Save the replaced server only once, and never this DLL itself: registering twice must
  // not lose the system's own provider.
  const std::optional<std::wstring> current = ReadString(key.get(), nullptr);
  const bool current_is_this = current && _wcsicmp(current->c_str(), path.c_str()) == 0;
  if (!ReadString(key.get(), kSavedValue) && !current_is_this &&
      !WriteString(key.get(), kSavedValue, current.value_or(L""))) {
    return SELFREG_E_CLASS;
  }
  if (!WriteString(key.get(), nullptr, path) ||
      !WriteString(key.get(), L"ThreadingModel", L"Both")) {
    return SELFREG_E_CLASS;
  }
  return S_OK;
}

HRESULT STDAPICALLTYPE DllUnregisterServer() {
  halvaro::UniqueRegKey key;
  const LSTATUS opened =
      RegOpenKeyExW(HKEY_CLASSES_ROOT, kServerKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, key.put());
  if (opened == ERROR_FILE_NOT_FOUND) return S_OK;  // nothing registered, nothing to undo
  if (opened != ERROR_SUCCESS) return SELFREG_E_CLASS;
  const std::optional<std::wstring> saved = ReadString(key.get(), kSavedValue);
  if (!saved) return S_OK;  // not registered by this DLL
  // An empty saved value means the class had no server before.
  const bool restored = saved->empty()
                            ? RegDeleteValueW(key.get(), nullptr) == ERROR_SUCCESS
                            : WriteString(key.get(), nullptr, *saved);
  if (!restored) return SELFREG_E_CLASS;
  RegDeleteValueW(key.get(), kSavedValue);
  return S_OK;
}

}  // extern "C"

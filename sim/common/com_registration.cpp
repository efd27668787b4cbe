#include "sim/common/com_registration.h"

#include <olectl.h>

#include <optional>
#include <string>

#include "common/unique_resource.h"

namespace simcom {
namespace {

// The module this code is linked into: the simulator DLL, not the program that loaded it.
std::wstring ThisModulePath() {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                              GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCWSTR>(&ThisModulePath), &module)) {
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

HRESULT Register(const wchar_t* server_key, const wchar_t* saved_value) {
  const std::wstring path = ThisModulePath();
  if (path.empty()) return SELFREG_E_CLASS;
  halvaro::UniqueRegKey key;
  if (RegCreateKeyExW(HKEY_CLASSES_ROOT, server_key, 0, nullptr, 0,
                      KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, key.put(),
                      nullptr) != ERROR_SUCCESS) {
    return SELFREG_E_CLASS;
  }
  // Save the replaced server only once, and never this DLL itself: registering twice must
  // not lose the system's own server.
  const std::optional<std::wstring> current = ReadString(key.get(), nullptr);
  const bool current_is_this = current && _wcsicmp(current->c_str(), path.c_str()) == 0;
  if (!ReadString(key.get(), saved_value) && !current_is_this &&
      !WriteString(key.get(), saved_value, current.value_or(L""))) {
    return SELFREG_E_CLASS;
  }
  if (!WriteString(key.get(), nullptr, path) ||
      !WriteString(key.get(), L"ThreadingModel", L"Both")) {
    return SELFREG_E_CLASS;
  }
  return S_OK;
}

HRESULT Unregister(const wchar_t* server_key, const wchar_t* saved_value) {
  halvaro::UniqueRegKey key;
  const LSTATUS opened =
      RegOpenKeyExW(HKEY_CLASSES_ROOT, server_key, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, key.put());
  if (opened == ERROR_FILE_NOT_FOUND) return S_OK;  // nothing registered, nothing to undo
  if (opened != ERROR_SUCCESS) return SELFREG_E_CLASS;
  const std::optional<std::wstring> saved = ReadString(key.get(), saved_value);
  if (!saved) return S_OK;  // not registered by this DLL
  const bool restored = saved->empty()
                            ? RegDeleteValueW(key.get(), nullptr) == ERROR_SUCCESS
                            : WriteString(key.get(), nullptr, *saved);
  if (!restored) return SELFREG_E_CLASS;
  RegDeleteValueW(key.get(), saved_value);
  return S_OK;
}

}  // namespace

// regsvr32 calls these through an export; no exception may leave them (std::wstring throws
// std::bad_alloc when memory runs out).
HRESULT RegisterInprocServer(const wchar_t* server_key, const wchar_t* saved_value) {
  try {
    return Register(server_key, saved_value);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT UnregisterInprocServer(const wchar_t* server_key, const wchar_t* saved_value) {
  try {
    return Unregister(server_key, saved_value);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace simcom

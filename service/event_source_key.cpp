#include "service/event_source_key.h"

#include "common/object_names.h"
#include "common/unique_resource.h"

namespace halvaro {

LONG WriteEventSourceKey(const wchar_t* program_path) {
  UniqueRegKey key;
  const LONG created = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kEventSourceKeyPath, 0, nullptr, 0,
                                       KEY_SET_VALUE, nullptr, key.put(), nullptr);
  if (created != ERROR_SUCCESS) {
    key.release();  // what a failed create leaves is not a key
    return created;
  }
  const DWORD path_bytes = static_cast<DWORD>((lstrlenW(program_path) + 1) * sizeof(wchar_t));
  const LONG path = RegSetValueExW(key.get(), kEventMessageFileValue, 0, REG_EXPAND_SZ,
                                   reinterpret_cast<const BYTE*>(program_path), path_bytes);
  if (path != ERROR_SUCCESS) return path;
  const DWORD types = kEventTypesSupported;
  return RegSetValueExW(key.get(), kTypesSupportedValue, 0, REG_DWORD,
                        reinterpret_cast<const BYTE*>(&types), sizeof(types));
}

LONG DeleteEventSourceKey() { return RegDeleteKeyW(HKEY_LOCAL_MACHINE, kEventSourceKeyPath); }

}  // namespace halvaro

#include "common/setting_values.h"

#include "common/little_endian.h"

namespace halvaro {

bool DecodeSettingDword(LONG query_result, const BYTE* data, DWORD size, uint32_t* value) {
  // ERROR_MORE_DATA (longer data) and short values are both treated as absent.
  if (query_result != ERROR_SUCCESS || size != 4) return false;
  *value = LoadLittleEndian32(data);
  return true;
}

StoredDword QueryStoredDword(HKEY key, const wchar_t* name) {
  StoredDword stored;
  BYTE data[4] = {};
  DWORD size = sizeof(data);
  stored.query_result = RegQueryValueExW(key, name, nullptr, nullptr, data, &size);
  if (stored.query_result == ERROR_SUCCESS || stored.query_result == ERROR_MORE_DATA) {
    stored.size = size;  // for longer data, the size it would need
  }
  stored.taken = DecodeSettingDword(stored.query_result, data, size, &stored.value);
  return stored;
}

}  // namespace halvaro

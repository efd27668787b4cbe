#include "common/setting_values.h"

#include "common/little_endian.h"

namespace halvaro {

StoredDword QueryStoredDword(HKEY key, const wchar_t* name) {
  StoredDword stored;
  BYTE data[4] = {};
  DWORD size = sizeof(data);
  const LONG result = RegQueryValueExW(key, name, nullptr, nullptr, data, &size);
  // Longer data is ERROR_MORE_DATA, with the size it would need.
  if (result != ERROR_SUCCESS && result != ERROR_MORE_DATA) return stored;
  stored.size = size;
  stored.taken = result == ERROR_SUCCESS && size == sizeof(data);
  if (stored.taken) stored.value = LoadLittleEndian32(data);
  return stored;
}

}  // namespace halvaro

#include "common/own_directory.h"

#include <windows.h>

namespace halvaro {

std::wstring OwnDirectory() {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::wstring();
  std::wstring directory(path, length);
  const size_t slash = directory.rfind(L'\\');
  if (slash == std::wstring::npos) return std::wstring();
  directory.resize(slash + 1);
  return directory;
}

}  // namespace halvaro

#include "volume/system_winmm.h"

#include <string>

namespace halvaro {

namespace {

template <typename Function>
bool Resolve(HMODULE module, const char* name, Function* function) {
  // Through void*: a FARPROC's own type says nothing about the function's.
  *function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  return *function != nullptr;
}

const WinmmFunctions* Load() {
  wchar_t directory[MAX_PATH] = {};
  const UINT length = GetSystemDirectoryW(directory, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return nullptr;
  const std::wstring path = std::wstring(directory) + L"\\winmm.dll";
  // Never freed: the table points into it for the life of the process.
  const HMODULE module = LoadLibraryW(path.c_str());
  if (!module) return nullptr;
  static WinmmFunctions table;
  const bool complete = Resolve(module, "mixerGetNumDevs", &table.GetNumDevs) &&
                        Resolve(module, "mixerOpen", &table.Open) &&
                        Resolve(module, "mixerClose", &table.Close) &&
                        Resolve(module, "mixerGetDevCapsW", &table.GetDevCaps) &&
                        Resolve(module, "mixerGetLineInfoW", &table.GetLineInfo) &&
                        Resolve(module, "mixerGetLineControlsW", &table.GetLineControls) &&
                        Resolve(module, "mixerGetControlDetailsW", &table.GetControlDetails) &&
                        Resolve(module, "mixerSetControlDetails", &table.SetControlDetails);
  return complete ? &table : nullptr;
}

}  // namespace

const WinmmFunctions* SystemWinmm() {
  static const WinmmFunctions* const functions = Load();
  return functions;
}

}  // namespace halvaro

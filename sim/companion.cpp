// Stands in for the programs outside this system that the service starts and ends.
//
//   SimCompanion.exe          runs until it is terminated (copied under the companions'
//                             image names, and as the logon process)
//   SimCompanion.exe window   owns the window "CMIXERNOTIFYEVENT"/"MixerNotifyEvent" in the
//                             services' window station; prints "ready", then "quit" when
//                             WM_QUIT reaches it, and exits 0
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "common/object_names.h"
#include "sim/common/service_station.h"

namespace {

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  return DefWindowProcW(window, message, wparam, lparam);
}

int OwnForeignWindow() {
  simcom::JoinServicesStation();  // the service finds windows only in its own station
  WNDCLASSEXW window_class = {};
  window_class.cbSize = sizeof(window_class);
  window_class.lpfnWndProc = WindowProc;
  window_class.hInstance = GetModuleHandleW(nullptr);
  window_class.lpszClassName = halvaro::kForeignMixerWindowClass;
  if (!RegisterClassExW(&window_class)) return 1;
  HWND window = CreateWindowExW(0, halvaro::kForeignMixerWindowClass,
                                halvaro::kForeignMixerWindowTitle, WS_OVERLAPPEDWINDOW, 0, 0, 0,
                                0, nullptr, nullptr, window_class.hInstance, nullptr);
  if (!window) return 1;
  std::puts("ready");
  std::fflush(stdout);
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
  std::puts("quit");
  std::fflush(stdout);
  DestroyWindow(window);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc > 1 && std::wcscmp(argv[1], L"window") == 0) return OwnForeignWindow();
  for (;;) Sleep(INFINITE);
}

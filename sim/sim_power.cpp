// Stands in for the power manager and the window manager's view of the service: finds the
// service's hidden window and sends it power broadcasts.
//
//   SimPower.exe find                 prints the window handle; exit 1 when there is none
//   SimPower.exe broadcast <wparam>   sends WM_POWERBROADCAST, prints the window's result
//   SimPower.exe resume               the same with PBT_APMRESUMEAUTOMATIC (18)
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "common/object_names.h"
#include "sim/common/service_station.h"

namespace {

// A service's windows live in the services' window station, not in the caller's.
HWND FindServiceWindow() {
  simcom::JoinServicesStation();
  return FindWindowW(halvaro::kServiceWindowClass, halvaro::kServiceWindowTitle);
}

int Usage() {
  std::fputs("usage: SimPower.exe find | broadcast <wparam> | resume\n", stderr);
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return Usage();
  HWND window = FindServiceWindow();
  if (std::wcscmp(argv[1], L"find") == 0) {
    if (!window) {
      std::puts("not found");
      return 1;
    }
    std::printf("window %p\n", static_cast<void*>(window));
    return 0;
  }
  WPARAM wparam = 0;
  if (std::wcscmp(argv[1], L"resume") == 0) {
    wparam = PBT_APMRESUMEAUTOMATIC;
  } else if (std::wcscmp(argv[1], L"broadcast") == 0 && argc > 2) {
    wparam = static_cast<WPARAM>(std::wcstoul(argv[2], nullptr, 0));
  } else {
    return Usage();
  }
  if (!window) {
    std::puts("not found");
    return 1;
  }
  const LRESULT result = SendMessageW(window, WM_POWERBROADCAST, wparam, 0);
  std::printf("result %ld\n", static_cast<long>(result));
  return 0;
}

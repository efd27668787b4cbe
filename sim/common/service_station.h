// Puts the calling process (and thread) into the window station and desktop of the prefix's
// services, where the service's windows, and the windows it looks for, live.
//
// Threading: call on the thread that then makes or finds the windows, before it does.
#pragma once

#include <windows.h>

namespace simcom {

inline void JoinServicesStation() {
  if (HWINSTA station = OpenWindowStationW(L"__wineservice_winstation", FALSE, MAXIMUM_ALLOWED)) {
    SetProcessWindowStation(station);
    if (HDESK desktop = OpenDesktopW(L"Default", 0, FALSE, MAXIMUM_ALLOWED)) {
      SetThreadDesktop(desktop);
    }
  }
}

}  // namespace simcom

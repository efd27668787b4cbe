// The service's hidden top-level window: it receives the timers and the power notifications.
//
// Threading: created on the service main thread, whose message loop runs the procedure.
#pragma once

#include <windows.h>

#include "common/unique_resource.h"

namespace halvaro {

constexpr UINT_PTR kDebounceTimerId = 0;
constexpr UINT_PTR kDiscPollTimerId = 1;

// Posted when the AV board's port is back: the disc state is sent to the board again.
constexpr UINT kBoardBackMessage = WM_APP + 1;

LRESULT CALLBACK HiddenWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// Registers the class "COrvaOSDSrv" and creates the hidden window "OrvaOSDSrv" on the calling
// thread, which then owns it (empty when creation fails).
UniqueWindow CreateHiddenWindow();

}  // namespace halvaro

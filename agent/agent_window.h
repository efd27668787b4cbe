// The agent's one hidden top-level window, by which the service finds it and ends it.
//
// Threading: created, run and destroyed on the agent's main thread.
#pragma once

#include <windows.h>

#include "common/unique_resource.h"

namespace halvaro {

// Registers the window class and creates the hidden window; empty when it cannot be made.
UniqueWindow CreateAgentWindow(HINSTANCE instance);

// Runs the thread's message loop until WM_QUIT; returns that message's wParam.
WPARAM RunAgentMessageLoop();

}  // namespace halvaro

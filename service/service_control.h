// The service main function and the control handler.
//
// Threading: ServiceMain runs on the thread the dispatcher starts and then serves the hidden
// window's message loop for the life of the process. ServiceControlHandler runs on the
// dispatcher's control thread and returns at once; a stop hands the teardown to a thread of
// its own, which reports the service stopped when it has finished.
#pragma once

#include <windows.h>

namespace halvaro {

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);
void WINAPI ServiceControlHandler(DWORD control);

}  // namespace halvaro

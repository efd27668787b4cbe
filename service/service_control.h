// The service main function and the control handler.
//
// Threading: ServiceMain runs on the thread the dispatcher starts and then serves the hidden
// window's message loop for the life of the process. ServiceControlHandler runs on the
// dispatcher's thread and returns at once; after a stop, wmain runs the teardown
// (StopSequence) once the dispatcher has returned.
#pragma once

#include <windows.h>

namespace halvaro {

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);
void WINAPI ServiceControlHandler(DWORD control);

}  // namespace halvaro

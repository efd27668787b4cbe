// `SimAudio watch`: a client of the endpoint API through the real COM path (CoCreateInstance,
// so through whatever the prefix has registered), that prints every notification it gets.
//
// Threading: RunWatch runs on the program's main thread; the callbacks print from the
// notification thread.
#pragma once

#include <windows.h>

namespace simaudio {

// Registers a volume callback on the default console render device (when there is one) and
// a notification client, prints one flushed line per notification for `seconds`, then
// unregisters. Returns the program's exit code: 0, or 1 when COM or a registration failed.
int RunWatch(DWORD seconds);

}  // namespace simaudio

// The simulated WMI objects that SimWmi.dll hands out in place of the system's locator:
// locator -> services ("ROOT\WMI" only) -> notification enumerator -> event objects carrying
// the pressed hotkey code in EC_RAM_Data_1.
//
// Threading: all objects are free-threaded ("Both"); their mutable state is either atomic or
// in the shared record, which is only touched under its lock.
#pragma once

#include <windows.h>

namespace simwmi {

// Creates a locator and returns its interface riid. Fails when the shared state cannot be
// opened, since nothing could then be simulated.
HRESULT CreateLocator(REFIID riid, void** object);

}  // namespace simwmi

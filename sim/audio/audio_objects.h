// The simulated endpoint objects that SimAudio.dll hands out in place of the system's:
// device enumerator -> device (IMMDevice) -> endpoint volume (IAudioEndpointVolume). Each
// names its device by id and reads the shared record on every call, so a change made in any
// process is seen at once; a device removed meanwhile answers AUDCLNT_E_DEVICE_INVALIDATED.
//
// Threading: all objects are free-threaded ("Both"); see sim_object.h.
#pragma once

#include <windows.h>

namespace simaudio {

// Creates an enumerator and returns its interface riid. Fails with REGDB_E_CLASSNOTREG while
// the enumerator fault is on, and with E_FAIL when the shared state cannot be opened.
HRESULT CreateEnumerator(REFIID riid, void** object);

}  // namespace simaudio

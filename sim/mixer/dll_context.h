// What every export of winmm.dll needs: the process's view of the shared state, the check of
// the HMIXEROBJ argument, and the barrier that keeps exceptions inside the DLL.
//
// Threading: any thread.
#pragma once

#include <windows.h>
#include <mmsystem.h>

#include <cstdint>

#include "sim/mixer/shared_state.h"

namespace simmixer {

// Opened at first use and kept for the life of the process. Null when it cannot be opened.
SharedState* ProcessState();

// The device an HMIXEROBJ argument names: an HMIXER of this process (MIXER_OBJECTF_HMIXER)
// or a device id (MIXER_OBJECTF_MIXER). Call under the lock.
MMRESULT CheckObject(StateRecord& record, HMIXEROBJ object, DWORD flags);

// Sleeps for the delay that the record's field sets for this program, outside the lock, as a
// driver's own work would take.
void DriverDelay(uint32_t StateRecord::*delay_ms) noexcept;

inline uint32_t HandleValue(const void* handle) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle));
}

// Runs body(record) under the lock; the result is body's, or an error when the state
// is unavailable, the lock is not had in time or body throws.
template <typename Body>
MMRESULT WithRecord(Body&& body) noexcept {
  try {
    SharedState* state = ProcessState();
    if (state == nullptr) return MMSYSERR_ERROR;
    MMRESULT result = MMSYSERR_ERROR;
    if (!state->Locked([&](StateRecord& record) { result = body(record); })) {
      return MMSYSERR_ERROR;
    }
    return result;
  } catch (...) {
    return MMSYSERR_ERROR;
  }
}

}  // namespace simmixer

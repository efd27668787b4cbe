// Change notifications: MM_MIXM_CONTROL_CHANGE posted to the window of every live open that
// asked for CALLBACK_WINDOW, in whichever process (or window station) it lives.
//
// Threading: any thread; takes the shared state's lock itself, so never call it under
// SharedState::Locked.
#pragma once

#include <cstdint>

#include "sim/mixer/shared_state.h"

namespace simmixer {

// Tells every open that `control_id` changed, each with its own handle value, and adds the
// windows reached to windows_notified. Returns how many were reached.
uint32_t NotifyControlChange(SharedState& state, uint32_t control_id) noexcept;

// Notifications that a program must ignore, posted to the same windows. Not counted in
// windows_notified.
enum class Spurious {
  kWrongHandle,     // a handle value that is no open of the receiving process
  kUnknownControl,  // the receiver's own handle with a control id the device does not have
};
uint32_t PostSpurious(SharedState& state, Spurious kind) noexcept;

}  // namespace simmixer

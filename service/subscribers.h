// The list of client programs subscribed to hotkey events, and their wake-up.
//
// Threading: all three operations take ServiceState::subscribers_lock for their whole run;
// Subscribe and Unsubscribe run on the subscription pipe's connection threads,
// NotifySubscribers on EventThread.
#pragma once

#include <cstdint>

namespace halvaro {

// Results are the subscription pipe's result codes (subscription_message.h).


uint32_t Subscribe(uint32_t process_id);
uint32_t Unsubscribe(uint32_t process_id);
// Offers the last event code to the hotkey callback; wakes every subscriber when the
// callback is unset or does not take the code.
void NotifySubscribers();

}  // namespace halvaro

// The list of client programs subscribed to hotkey events, and their wake-up.
//
// Threading: Subscribe and Unsubscribe run on the subscription pipe's connection threads,
// NotifySubscribers on EventThread. Each takes Subscriptions::lock for its list work. The
// list knows nothing of the codes the service takes itself: the listener offers each code to
// the hotkey actions first (service/hotkey_actions.h) and wakes the subscribers only for
// the codes those leave.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "common/locks.h"
#include "common/unique_resource.h"

namespace halvaro {

struct Subscriber {
  uint32_t process_id = 0;
  UniqueHandle wake;     // "Global\ORVAWMIEMA_%x", never empty in the list
  UniqueHandle removal;  // "Global\ORVAWMIEMA_RM_%x", may be empty
};

struct Subscriptions {
  Lock lock{LockRank::kSubscriptions};
  std::vector<Subscriber> list;  // guarded by lock; oldest first
};

// The most subscribers kept whatever "EMAMaxRegister" says: each costs two named events, and
// any local program can subscribe under made-up process ids.
constexpr uint32_t kMostSubscribers = 64;

// Results are the subscription pipe's result codes (common/subscription_message.h). A list
// longer than `max_subscribers` (at most kMostSubscribers) after the subscribe loses its
// oldest entries, whose removal events are set.
uint32_t Subscribe(Subscriptions& subscriptions, uint32_t process_id, uint32_t max_subscribers);
uint32_t Unsubscribe(Subscriptions& subscriptions, uint32_t process_id);

// Wakes every subscriber (each reads the code through the pipe).
void NotifySubscribers(Subscriptions& subscriptions);

}  // namespace halvaro

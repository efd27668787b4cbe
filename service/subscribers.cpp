#include "service/subscribers.h"

#include <algorithm>

#include "common/bounded_format.h"
#include "common/world_access.h"
#include "common/object_names.h"
#include "common/subscription_message.h"

namespace halvaro {

namespace {

UniqueHandle CreateClientEvent(WorldAccessAttributes& security, const wchar_t* format,
                               uint32_t process_id) {
  wchar_t name[kObjectNameSize];
  FormatBounded(name, kObjectNameSize, format, process_id);
  // An event that exists already under that name is opened and used as it is.
  return UniqueHandle(CreateEventW(security.get(), FALSE, FALSE, name));
}

}  // namespace

uint32_t Subscribe(Subscriptions& subscriptions, uint32_t process_id, uint32_t max_subscribers) {
  WorldAccessAttributes security(EVENT_ALL_ACCESS);
  std::lock_guard<Lock> guard(subscriptions.lock);
  auto& list = subscriptions.list;
  if (std::any_of(list.begin(), list.end(),
                  [&](const Subscriber& entry) { return entry.process_id == process_id; })) {
    return kSubscriptionResultAlready;
  }
  Subscriber entry;
  entry.process_id = process_id;
  entry.wake = CreateClientEvent(security, kWakeEventNameFormat, process_id);
  entry.removal = CreateClientEvent(security, kRemovalEventNameFormat, process_id);
  if (!entry.wake) return kSubscriptionResultNoWakeEvent;  // the removal event closes with the entry
  list.push_back(std::move(entry));

  uint32_t result = kSubscriptionResultDone;
  size_t evicted = 0;
  const size_t cap = std::min(max_subscribers, kMostSubscribers);
  while (list.size() - evicted > cap) {
    Subscriber& oldest = list[evicted++];
    result = kSubscriptionResultEvicted;
    if (oldest.removal) SetEvent(oldest.removal.get());
  }
  list.erase(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(evicted));
  return result;
}

uint32_t Unsubscribe(Subscriptions& subscriptions, uint32_t process_id) {
  std::lock_guard<Lock> guard(subscriptions.lock);
  auto& list = subscriptions.list;
  auto found = std::find_if(list.begin(), list.end(), [&](const Subscriber& entry) {
    return entry.process_id == process_id;
  });
  if (found == list.end()) return kSubscriptionResultNotSubscribed;
  list.erase(found);  // closes both events; the removal event is not signalled
  return kSubscriptionResultDone;
}

void NotifySubscribers(Subscriptions& subscriptions) {
  std::lock_guard<Lock> guard(subscriptions.lock);
  for (const Subscriber& entry : subscriptions.list) SetEvent(entry.wake.get());
}

}  // namespace halvaro

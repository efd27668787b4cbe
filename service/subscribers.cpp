#include "service/subscribers.h"

#include <algorithm>

#include "common/bounded_format.h"
#include "common/world_access.h"
#include "service/service_state.h"
#include "service/subscription_message.h"

namespace halvaro {

namespace {

UniqueHandle CreateClientEvent(WorldAccessAttributes& security, const wchar_t* format,
                               uint32_t process_id) {
  wchar_t name[kSubscriberEventNameSize];
  FormatBounded(name, kSubscriberEventNameSize, format, process_id);
  // An event that exists already under that name is opened and used as it is.
  return UniqueHandle(CreateEventW(security.get(), FALSE, FALSE, name));
}

}  // namespace

uint32_t Subscribe(uint32_t process_id) {
  ServiceState& s = Service();
  WorldAccessAttributes security(EVENT_ALL_ACCESS);
  std::lock_guard<std::mutex> guard(s.subscribers_lock);
  auto& list = s.subscribers;
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
  while (list.size() - evicted > s.max_subscribers) {
    Subscriber& oldest = list[evicted++];
    result = kSubscriptionResultEvicted;
    if (oldest.removal) SetEvent(oldest.removal.get());
  }
  list.erase(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(evicted));
  return result;
}

uint32_t Unsubscribe(uint32_t process_id) {
  ServiceState& s = Service();
  std::lock_guard<std::mutex> guard(s.subscribers_lock);
  auto& list = s.subscribers;
  auto found = std::find_if(list.begin(), list.end(), [&](const Subscriber& entry) {
    return entry.process_id == process_id;
  });
  if (found == list.end()) return kSubscriptionResultNotSubscribed;
  list.erase(found);  // closes both events; the removal event is not signalled
  return kSubscriptionResultDone;
}

void NotifySubscribers() {
  ServiceState& s = Service();
  const uint32_t code = s.last_event_code;
  if (HotkeyCallback callback = s.hotkey_callback.load(); callback && callback(code) == 1) {
    return;
  }
  std::lock_guard<std::mutex> guard(s.subscribers_lock);
  for (const Subscriber& entry : s.subscribers) SetEvent(entry.wake.get());
}

}  // namespace halvaro

#include "service/subscription_pipe.h"

#include "common/bounded_format.h"
#include "common/world_access.h"
#include "service/event_listener.h"
#include "service/service_state.h"
#include "service/subscribers.h"
#include "service/subscription_message.h"

namespace halvaro {

namespace {

constexpr DWORD kPipeAccessMask = 0x1201BF;  // generic file read, write and execute

}  // namespace

size_t SubscriptionClient(uint8_t* buffer, size_t received) {
  ServiceState& s = Service();
  const SubscriptionRequest request = DecodeSubscriptionRequest(buffer, received);
  uint32_t result = 0;
  switch (request.command) {
    case kSubscribeCommand:
      // Tried whatever the payload: a client's subscribe is what brings a listener that
      // failed at start up again.
      if (!s.listener_started) StartEventListener();
      if (!CarriesProcessId(request)) {
        result = kSubscriptionResultBadLength;
      } else if (s.listener_running) {
        result = Subscribe(request.process_id);
      } else {
        result = kSubscriptionResultNoListener;
      }
      break;
    case kUnsubscribeCommand:
      result = CarriesProcessId(request) ? Unsubscribe(request.process_id)
                                         : (kSubscriptionResultBadLength);
      break;
    default:
      break;
  }
  return BuildSubscriptionReply(buffer, received, result,
                                s.last_event_code);
}

void StartSubscriptionListener(int instance) {
  ServiceState& s = Service();
  WorldAccessAttributes security(kPipeAccessMask);
  // Client programs look for the mutex; the service itself never waits on it.
  s.subscription_mutex.reset(CreateMutexW(security.get(), FALSE, L"Global\\OrvaEMASrv_Mux"));

  wchar_t name[kSubscriptionPipeNameSize];
  FormatBounded(name, kSubscriptionPipeNameSize, kSubscriptionPipeNameFormat, instance);
  PipeServer::Options options;
  options.name = name;
  options.access_mask = kPipeAccessMask;
  options.request_capacity = kSubscriptionRequestSize;
  s.subscription_pipe.Start(std::move(options), SubscriptionClient);
}

void StopSubscriptionListener() { Service().subscription_pipe.Stop(); }

}  // namespace halvaro

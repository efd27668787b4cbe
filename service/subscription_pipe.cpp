#include "service/subscription_pipe.h"

#include "common/object_names.h"
#include "common/subscription_message.h"
#include "service/event_listener.h"
#include "service/service_state.h"
#include "service/subscribers.h"

namespace halvaro {

namespace {

// A subscribe waits this long for a listener that is being started.
constexpr DWORD kClientListenerWaitMs = 2000;

}  // namespace

size_t SubscriptionClient(uint8_t* buffer, size_t received) {
  ServiceState& s = Service();
  const SubscriptionRequest request = DecodeSubscriptionRequest(buffer, received);
  uint32_t result = 0;
  switch (request.command) {
    case kSubscribeCommand:
      // Tried whatever the payload: a client's subscribe is what brings a listener that
      // failed at start up again.
      if (!s.listener.running) AwaitListenerForClient(kClientListenerWaitMs);
      if (!CarriesProcessId(request)) {
        result = kSubscriptionResultBadLength;
      } else if (s.listener.running) {
        result = Subscribe(s.subscriptions, request.process_id, s.settings.max_subscribers);
      } else {
        result = kSubscriptionResultNoListener;
      }
      break;
    case kUnsubscribeCommand:
      result = CarriesProcessId(request) ? Unsubscribe(s.subscriptions, request.process_id)
                                         : kSubscriptionResultBadLength;
      break;
    default:
      break;
  }
  return BuildSubscriptionReply(buffer, received, result, s.listener.last_event_code);
}

void StartSubscriptionListener(PipeEndpoint& endpoint, int instance) {
  const PipeEndpointShape shape{kSubscriptionPipeNameFormat, kSubscriptionMutexName,
                                kSubscriptionRequestSize};
  StartPipeEndpoint(endpoint, shape, instance,
                    PipeServer::RequestReply(kSubscriptionRequestSize, SubscriptionClient));
}

}  // namespace halvaro

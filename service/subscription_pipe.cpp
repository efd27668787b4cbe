#include "service/subscription_pipe.h"

#include "common/bounded_format.h"
#include "common/object_names.h"
#include "common/subscription_message.h"
#include "common/world_access.h"
#include "service/event_listener.h"
#include "service/service_state.h"
#include "service/subscribers.h"

namespace halvaro {

namespace {

constexpr DWORD kPipeAccessMask = 0x1201BF;  // generic file read, write and execute
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

void StartSubscriptionListener(int instance) {
  SubscriptionPipe& pipe = Service().subscription_pipe;
  WorldAccessAttributes security(kPipeAccessMask);
  // Client programs look for the mutex; the service itself never waits on it.
  pipe.mutex.reset(CreateMutexW(security.get(), FALSE, kSubscriptionMutexName));

  wchar_t name[kPipeNameSize];
  FormatBounded(name, kPipeNameSize, kSubscriptionPipeNameFormat, instance);
  PipeServer::Options options;
  options.name = name;
  options.access_mask = kPipeAccessMask;
  options.head_size = kSubscriptionRequestSize;
  pipe.server.Start(std::move(options),
                    PipeServer::RequestReply(kSubscriptionRequestSize, SubscriptionClient));
}

bool StopSubscriptionListener(DWORD timeout_ms) {
  return Service().subscription_pipe.server.Stop(timeout_ms);
}

}  // namespace halvaro

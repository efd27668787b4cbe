#include "service/pipe_endpoint.h"

#include <string>
#include <utility>

#include "common/bounded_format.h"
#include "common/object_names.h"
#include "common/world_access.h"
#include "service/event_log.h"
#include "service/event_messages.h"

namespace halvaro {

void StartPipeEndpoint(PipeEndpoint& endpoint, const PipeEndpointShape& shape, int instance,
                       PipeServer::Handler handler) {
  WorldAccessAttributes security(kServicePipeAccessMask);
  endpoint.mutex.reset(CreateMutexW(security.get(), FALSE, shape.mutex_name));

  wchar_t name[kPipeNameSize];
  FormatBounded(name, kPipeNameSize, shape.name_format, instance);
  PipeServer::Options options;
  options.name = name;
  options.access_mask = kServicePipeAccessMask;
  options.head_size = shape.head_size;
  options.name_watcher = [pipe_name = std::wstring(name)](bool held_elsewhere) {
    LogEvent(held_elsewhere ? MSG_PIPE_NAME_HELD : MSG_PIPE_SERVED_AGAIN, {pipe_name.c_str()});
  };
  endpoint.server.Start(std::move(options), std::move(handler));
}

}  // namespace halvaro

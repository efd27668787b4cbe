#include "service/pipe_endpoint.h"

#include <utility>

#include "common/bounded_format.h"
#include "common/object_names.h"
#include "common/world_access.h"

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
  endpoint.server.Start(std::move(options), std::move(handler));
}

}  // namespace halvaro

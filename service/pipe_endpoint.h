// One of the service's two pipes: the mutex that client programs look for and the server
// that answers on the pipe's name. Both pipes are made the same way and grant the same
// access; each protocol's own code only handles its messages.
//
// Threading: StartPipeEndpoint runs in the start sequence and the stop path stops the
// server, on one thread; the handler runs on the server's connection threads (pipe_server.h).
// The server's listener reports a name that another program holds, and its return, to the
// event log.
#pragma once

#include <windows.h>

#include <cstddef>

#include "common/pipe_server.h"
#include "common/unique_resource.h"

namespace halvaro {

struct PipeEndpoint {
  UniqueHandle mutex;  // kept for the life of the process; the service never waits on it
  PipeServer server;   // started by the start sequence, stopped by the stop path
};

struct PipeEndpointShape {
  const wchar_t* name_format;  // of the pipe, with the instance number
  const wchar_t* mutex_name;
  size_t head_size;  // bytes of a request read at reception
};

void StartPipeEndpoint(PipeEndpoint& endpoint, const PipeEndpointShape& shape, int instance,
                       PipeServer::Handler handler);

}  // namespace halvaro

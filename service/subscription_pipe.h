// The subscription pipe "\\.\pipe\OrvaEMA_srv_np_0": client programs subscribe their
// process id, unsubscribe it, and read the last event code, one request per connection.
//
// Threading: StartSubscriptionListener runs in the start sequence and
// the stop path stops its server; SubscriptionClient runs on the pipe server's
// connection threads, several at once.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "service/pipe_endpoint.h"

namespace halvaro {

// Serves the pipe of `instance` and makes its mutex.
void StartSubscriptionListener(PipeEndpoint& endpoint, int instance);

// Answers one request: `buffer` holds the `received` bytes of the request in a cleared
// buffer of 32 bytes and receives the reply. Returns the reply length.
size_t SubscriptionClient(uint8_t* buffer, size_t received);

}  // namespace halvaro

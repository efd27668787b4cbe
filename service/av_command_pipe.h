// The AV-command pipe "\\.\pipe\OrvaVurur_srv_0": client programs send a volume level to the
// AV board with one of its two volume commands, or only ask, and learn whether the board
// acknowledged. One request per connection; the reply goes as two messages.
//
// Threading: StartAvCommandListener runs in the start sequence, and the stop path stops its
// server; AvCommandClient and DispatchAvCommand run on the pipe server's connection
// threads, several at once. The board exchanges serialise on the serial link's lock.
#pragma once

#include <windows.h>

#include <cstdint>

#include "avboard/serial_link.h"
#include "common/pipe_server.h"
#include "service/pipe_endpoint.h"
#include "service/service_volume.h"

namespace halvaro {

// Serves the pipe of `instance` and makes its mutex. The connections send over `link` and
// set `volume`'s current percentage; both must outlive the server.
void StartAvCommandListener(PipeEndpoint& endpoint, int instance, ServiceVolume& volume,
                            SerialLink& link);

// Serves one connection: the header, the data block, the operation and the reply.
void AvCommandClient(PipeConnection& connection, ServiceVolume& volume, SerialLink& link);

// Carries out the operation in data[0] with the level in data[1]; sets data[1] to the
// board's answer (or 1 for a query) and returns the result code.
uint32_t DispatchAvCommand(ServiceVolume& volume, SerialLink& link, uint8_t* data);

}  // namespace halvaro

// The messages of the AV-command pipe (kAvCommandPipeNameFormat), as pure functions shared
// by the service and its client programs.
//
// A request and a reply each start with an 8-byte header; a data block may follow. Every
// integer is little-endian:
//
//   header  size  request                              reply
//   0       1     command (1 = AV operation)           0x81 for command 1, 0xFF otherwise
//   1       1     not interpreted                      returned as received
//   2       2     data length, valid 1 to 4096         0x81: as received when the result is
//                                                       0, else 0; 0xFF: 0
//   4       4     not interpreted                      0x81: the result; 0xFF: as received
//
//   data    size  request                              reply (only when the result is 0)
//   0       1     operation: 0 query, 1 Hotkey         returned as received
//                 volume, 2 Set volume
//   1       1     level in percent (operations 1, 2)   1
//   2       n-2   not interpreted                      returned as received
//
// The reply goes as two messages: the header, then the data block when there is one.
//
// Threading: pure and reentrant; every function touches only its arguments.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/little_endian.h"
#include "common/object_names.h"

namespace halvaro {

constexpr uint8_t kAvOperationCommand = 1;
constexpr uint8_t kAvOperationReply = 0x81;
constexpr uint8_t kAvUnknownCommandReply = 0xFF;

constexpr uint8_t kAvQueryOperation = 0;
constexpr uint8_t kAvHotkeyVolumeOperation = 1;
constexpr uint8_t kAvSetVolumeOperation = 2;

constexpr uint32_t kAvResultDone = 0;
constexpr uint32_t kAvResultNotAcknowledged = 0x80000008;
constexpr uint32_t kAvResultBadOperation = 0x8000000A;  // also a data block under 2 bytes
constexpr uint32_t kAvResultBadLength = 0xFFFFFFFF;     // data length 0 or above 4096

constexpr size_t kAvHeaderSize = 8;
constexpr size_t kAvMaxDataLength = 4096;

constexpr size_t kAvCommandOffset = 0;
constexpr size_t kAvDataLengthOffset = 2;
constexpr size_t kAvResultOffset = 4;

// The data length of a request header, and whether it is one the server reads.
uint16_t AvDataLength(const uint8_t* header);
bool AvDataLengthValid(uint16_t length);

// Turns the request header into its reply header, in place, for `result` (ignored for an
// unknown command). Returns how many data bytes follow the header: the data length when the
// command is 1 and the result 0, else 0.
size_t BuildAvReplyHeader(uint8_t* header, uint32_t result);

// A request as a client program sends it: the header (command 1, the data length) and a data
// block of `data_length` bytes that starts with the operation and the level, the rest 0. A
// `data_length` below 2 cuts the block (for tests of the server's checks).
std::vector<uint8_t> EncodeAvRequest(uint8_t operation, uint8_t level, uint16_t data_length = 2);

struct AvReplyHeader {
  uint8_t reply_code = 0;
  uint16_t data_length = 0;
  uint32_t result = 0;
};

// How long the whole reply is (header and data, in two messages) whose first `received`
// bytes are at `bytes`: the header's size plus its data length; 0 while the header is not
// all there. A client reads until it has that many.
size_t AvReplyLength(const uint8_t* bytes, size_t received);

// Decodes a reply header; empty when fewer than 8 bytes came.
std::optional<AvReplyHeader> DecodeAvReplyHeader(const uint8_t* bytes, size_t received);

}  // namespace halvaro

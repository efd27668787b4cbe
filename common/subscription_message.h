// The messages of the subscription pipe (kSubscriptionPipeNameFormat), as pure functions
// shared by the service and its client programs.
//
// Request and reply share one layout; every integer is little-endian:
//
//   offset  size  request                              reply
//   0       1     command (1, 2, 3)                    reply code (0x81, 0x82, 0x83, 0xFF)
//   1       3     not interpreted                      returned as received
//   4       4     payload length (1 and 2 need >= 4)   returned as received
//   8       4     not interpreted                      reply payload length: 4 for 0x83, else 0
//   12      4     not interpreted                      result; 0 for 0x83; as received for 0xFF
//   16      4     process id (commands 1 and 2)        last event code (0x83 only)
//   20      12    not interpreted                      not sent
//
// A request is read as at most 32 bytes; replies are 16 bytes, 20 for 0x83.
//
// The server's connection thread reads at most kSubscriptionRequestSize bytes into a cleared
// buffer, decodes it with DecodeSubscriptionRequest, decides the result (subscribe,
// unsubscribe, or nothing for the other commands), turns the same buffer into the reply with
// BuildSubscriptionReply and writes the length that it returns. Client programs use
// EncodeSubscriptionRequest and DecodeSubscriptionReply.
//
// Threading: pure and reentrant; every function touches only its arguments, so any number
// of threads may use them at once on buffers of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "common/little_endian.h"
#include "common/object_names.h"

namespace halvaro {

// Commands (request offset 0).
constexpr uint8_t kSubscribeCommand = 1;
constexpr uint8_t kUnsubscribeCommand = 2;
constexpr uint8_t kReadLastCodeCommand = 3;

// Reply codes (reply offset 0).
constexpr uint8_t kSubscribeReply = 0x81;
constexpr uint8_t kUnsubscribeReply = 0x82;
constexpr uint8_t kReadLastCodeReply = 0x83;
constexpr uint8_t kUnknownCommandReply = 0xFF;

// Result codes (reply offset 12), as unsigned 32-bit values; the field itself is signed.
constexpr uint32_t kSubscriptionResultDone = 0;
constexpr uint32_t kSubscriptionResultEvicted = 0x90000000;        // subscribe
constexpr uint32_t kSubscriptionResultNotSubscribed = 0x90000000;  // unsubscribe
constexpr uint32_t kSubscriptionResultAlready = 0x90000001;
constexpr uint32_t kSubscriptionResultNoWakeEvent = 0x90000002;
constexpr uint32_t kSubscriptionResultNoListener = 0x8000000A;
constexpr uint32_t kSubscriptionResultBadLength = 0xFFFFFFFF;  // payload length below 4

// Sizes.
constexpr size_t kSubscriptionRequestSize = 32;    // the most that is read of a request
constexpr size_t kSubscriptionReplySize = 16;      // replies 0x81, 0x82 and 0xFF
constexpr size_t kSubscriptionLastCodeReplySize = 20;  // reply 0x83
constexpr size_t kSubscriptionClientRequestSize = 20;  // what EncodeSubscriptionRequest makes
constexpr uint32_t kSubscriptionProcessIdPayload = 4;  // payload length that carries the id

// Field offsets.
constexpr size_t kSubscriptionCodeOffset = 0;
constexpr size_t kSubscriptionPayloadLengthOffset = 4;
constexpr size_t kSubscriptionReplyPayloadLengthOffset = 8;
constexpr size_t kSubscriptionResultOffset = 12;
constexpr size_t kSubscriptionValueOffset = 16;  // process id in, last event code out

// A request or reply buffer of the size that is read; cleared on construction.
struct SubscriptionBuffer {
  uint8_t bytes[kSubscriptionRequestSize] = {};
};

// The fields of a request that the server interprets.
struct SubscriptionRequest {
  uint8_t command = 0;
  uint32_t payload_length = 0;  // offset 4
  uint32_t process_id = 0;      // offset 16; meaningful for commands 1 and 2 only
};

// Reads the fields from their fixed offsets. `received` is the number of bytes of `bytes`
// that the request carried; bytes at or past min(received, 32) read as 0 whatever they hold,
// and nothing past the first 32 bytes is read.
SubscriptionRequest DecodeSubscriptionRequest(const uint8_t* bytes, size_t received);

// Whether the payload length carries a process id (at least 4, compared as unsigned).
// Subscribe and unsubscribe requests without one are answered kSubscriptionResultBadLength.
bool CarriesProcessId(const SubscriptionRequest& request);

// The reply code for a command byte: 0x81, 0x82, 0x83 for 1, 2, 3, else 0xFF.
uint8_t SubscriptionReplyCode(uint8_t command);

// Turns the request in `buffer` (kSubscriptionRequestSize bytes, of which the first
// `received` came from the client) into its reply, in place, and returns the number of
// bytes to send. Bytes past `received` are cleared first, so the reply agrees with
// DecodeSubscriptionRequest. Offsets 1 to 7 keep what was received. `result` goes to offset
// 12 for replies 0x81 and 0x82; reply 0x83 carries 0 there and `last_code` at offset 16;
// reply 0xFF keeps offset 12 as received. Each argument that its reply does not use is
// ignored.
size_t BuildSubscriptionReply(uint8_t* buffer, size_t received, uint32_t result,
                              uint32_t last_code);

// A request as a client program sends it: the command, the payload length at offset 4 and
// the process id at offset 16; every other byte 0. `length` is always
// kSubscriptionClientRequestSize.
struct EncodedSubscriptionRequest {
  uint8_t bytes[kSubscriptionRequestSize] = {};
  size_t length = 0;
};

EncodedSubscriptionRequest EncodeSubscriptionRequest(
    uint8_t command, uint32_t process_id,
    uint32_t payload_length = kSubscriptionProcessIdPayload);

// A reply as a client program reads it.
struct SubscriptionReply {
  uint8_t reply_code = 0;
  uint32_t payload_length = 0;        // offset 4, the request's own returned
  uint32_t reply_payload_length = 0;  // offset 8
  uint32_t result = 0;                // offset 12
  bool has_last_code = false;         // reply 0x83 with its 4 payload bytes
  uint32_t last_code = 0;             // offset 16 when has_last_code
};

// How long the whole reply is whose first `received` bytes are at `bytes`: 20 for reply
// 0x83, 16 for every other; 0 while nothing came. A client reads until it has that many.
size_t SubscriptionReplyLength(const uint8_t* bytes, size_t received);

// Decodes the `received` bytes of a reply. Empty when fewer than 16 bytes came, or when a
// reply 0x83 is shorter than 20 bytes.
std::optional<SubscriptionReply> DecodeSubscriptionReply(const uint8_t* bytes,
                                                         size_t received);

}  // namespace halvaro

#include "common/subscription_message.h"

#include <algorithm>
#include <cstring>

namespace halvaro {

namespace {

// A 32-bit field at `offset` of a request of which only `received` bytes are defined.
uint32_t LoadReceived32(const uint8_t* bytes, size_t received, size_t offset) {
  uint8_t field[4] = {};
  for (size_t i = 0; i < 4; ++i) {
    if (offset + i < received) field[i] = bytes[offset + i];
  }
  return LoadLittleEndian32(field);
}

}  // namespace

SubscriptionRequest DecodeSubscriptionRequest(const uint8_t* bytes, size_t received) {
  received = std::min(received, kSubscriptionRequestSize);
  SubscriptionRequest request;
  request.command = received > kSubscriptionCodeOffset ? bytes[kSubscriptionCodeOffset] : 0;
  request.payload_length = LoadReceived32(bytes, received, kSubscriptionPayloadLengthOffset);
  request.process_id = LoadReceived32(bytes, received, kSubscriptionValueOffset);
  return request;
}

bool CarriesProcessId(const SubscriptionRequest& request) {
  return request.payload_length >= kSubscriptionProcessIdPayload;
}

uint8_t SubscriptionReplyCode(uint8_t command) {
  switch (command) {
    case kSubscribeCommand:
      return kSubscribeReply;
    case kUnsubscribeCommand:
      return kUnsubscribeReply;
    case kReadLastCodeCommand:
      return kReadLastCodeReply;
    default:
      return kUnknownCommandReply;
  }
}

size_t BuildSubscriptionReply(uint8_t* buffer, size_t received, uint32_t result,
                              uint32_t last_code) {
  if (received < kSubscriptionRequestSize) {
    std::memset(buffer + received, 0, kSubscriptionRequestSize - received);
  }
  const uint8_t reply_code = SubscriptionReplyCode(buffer[kSubscriptionCodeOffset]);
  buffer[kSubscriptionCodeOffset] = reply_code;
  // Offsets 1 to 7 stay as received.
  if (reply_code == kReadLastCodeReply) {
    StoreLittleEndian32(buffer + kSubscriptionReplyPayloadLengthOffset, 4);
    StoreLittleEndian32(buffer + kSubscriptionResultOffset, kSubscriptionResultDone);
    StoreLittleEndian32(buffer + kSubscriptionValueOffset, last_code);
    return kSubscriptionLastCodeReplySize;
  }
  StoreLittleEndian32(buffer + kSubscriptionReplyPayloadLengthOffset, 0);
  if (reply_code != kUnknownCommandReply) {
    StoreLittleEndian32(buffer + kSubscriptionResultOffset, result);
  }
  return kSubscriptionReplySize;
}

size_t SubscriptionReplyLength(const uint8_t* bytes, size_t received) {
  if (received == 0) return 0;
  return bytes[kSubscriptionCodeOffset] == kReadLastCodeReply ? kSubscriptionLastCodeReplySize
                                                              : kSubscriptionReplySize;
}

EncodedSubscriptionRequest EncodeSubscriptionRequest(uint8_t command, uint32_t process_id,
                                                     uint32_t payload_length) {
  EncodedSubscriptionRequest request;
  request.bytes[kSubscriptionCodeOffset] = command;
  StoreLittleEndian32(request.bytes + kSubscriptionPayloadLengthOffset, payload_length);
  StoreLittleEndian32(request.bytes + kSubscriptionValueOffset, process_id);
  request.length = kSubscriptionClientRequestSize;
  return request;
}

std::optional<SubscriptionReply> DecodeSubscriptionReply(const uint8_t* bytes,
                                                         size_t received) {
  if (received < kSubscriptionReplySize) return std::nullopt;
  SubscriptionReply reply;
  reply.reply_code = bytes[kSubscriptionCodeOffset];
  reply.payload_length = LoadLittleEndian32(bytes + kSubscriptionPayloadLengthOffset);
  reply.reply_payload_length = LoadLittleEndian32(bytes + kSubscriptionReplyPayloadLengthOffset);
  reply.result = LoadLittleEndian32(bytes + kSubscriptionResultOffset);
  if (reply.reply_code == kReadLastCodeReply) {
    if (received < kSubscriptionLastCodeReplySize) return std::nullopt;
    reply.has_last_code = true;
    reply.last_code = LoadLittleEndian32(bytes + kSubscriptionValueOffset);
  }
  return reply;
}

}  // namespace halvaro

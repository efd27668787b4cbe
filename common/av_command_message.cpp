#include "common/av_command_message.h"

namespace halvaro {

namespace {

void StoreLittleEndian16(uint8_t* bytes, uint16_t value) {
  bytes[0] = static_cast<uint8_t>(value);
  bytes[1] = static_cast<uint8_t>(value >> 8);
}

}  // namespace

uint16_t AvDataLength(const uint8_t* header) {
  return static_cast<uint16_t>(header[kAvDataLengthOffset] |
                               (header[kAvDataLengthOffset + 1] << 8));
}

size_t AvReplyLength(const uint8_t* bytes, size_t received) {
  if (received < kAvHeaderSize) return 0;
  return kAvHeaderSize + AvDataLength(bytes);
}

bool AvDataLengthValid(uint16_t length) { return length >= 1 && length <= kAvMaxDataLength; }

size_t BuildAvReplyHeader(uint8_t* header, uint32_t result) {
  if (header[kAvCommandOffset] != kAvOperationCommand) {
    header[kAvCommandOffset] = kAvUnknownCommandReply;
    StoreLittleEndian16(header + kAvDataLengthOffset, 0);  // offset 4 stays as received
    return 0;
  }
  header[kAvCommandOffset] = kAvOperationReply;
  StoreLittleEndian32(header + kAvResultOffset, result);
  if (result != kAvResultDone) {
    StoreLittleEndian16(header + kAvDataLengthOffset, 0);
    return 0;
  }
  return AvDataLength(header);
}

std::vector<uint8_t> EncodeAvRequest(uint8_t operation, uint8_t level, uint16_t data_length) {
  std::vector<uint8_t> request(kAvHeaderSize + data_length, 0);
  request[kAvCommandOffset] = kAvOperationCommand;
  StoreLittleEndian16(request.data() + kAvDataLengthOffset, data_length);
  if (data_length >= 1) request[kAvHeaderSize] = operation;
  if (data_length >= 2) request[kAvHeaderSize + 1] = level;
  return request;
}

std::optional<AvReplyHeader> DecodeAvReplyHeader(const uint8_t* bytes, size_t received) {
  if (received < kAvHeaderSize) return std::nullopt;
  AvReplyHeader reply;
  reply.reply_code = bytes[kAvCommandOffset];
  reply.data_length = AvDataLength(bytes);
  reply.result = LoadLittleEndian32(bytes + kAvResultOffset);
  return reply;
}

}  // namespace halvaro

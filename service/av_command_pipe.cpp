#include "service/av_command_pipe.h"

#include <vector>

#include "avboard/av_commands.h"
#include "common/av_command_message.h"
#include "common/object_names.h"
#include "common/tick_deadline.h"

namespace halvaro {

namespace {

// Read at reception: the header and a short data block, so that the usual request, sent as
// one message, takes one read. A longer block is read on by the handler.
constexpr size_t kAvReceptionHeadSize = kAvHeaderSize + 24;

// Reads the data block of `length` bytes, in as many pieces as it comes, within the request
// time limit. False when it did not come whole in that time.
bool ReadDataBlock(PipeConnection& connection, uint8_t* data, size_t length) {
  const TickDeadline deadline = TickDeadline::After(kPipeRequestWaitMs);
  size_t got = 0;
  while (got < length) {
    const DWORD left = deadline.Remaining();
    size_t more = 0;
    if (left == 0 || !connection.Read(data + got, length - got, left, &more)) return false;
    got += more;
  }
  return true;
}

}  // namespace

uint32_t DispatchAvCommand(ServiceVolume& volume, SerialLink& link, uint8_t* data) {
  const uint8_t operation = data[0];
  switch (operation) {
    case kAvQueryOperation:
      data[1] = 1;
      return kAvResultDone;
    case kAvHotkeyVolumeOperation:
    case kAvSetVolumeOperation: {
      const uint8_t level = data[1];
      volume.current_percent = level;  // as received; the frame limits it to 100
      // Sent whatever the board-present flag says: the client asks the board itself.
      const uint32_t acknowledged = operation == kAvHotkeyVolumeOperation
                                        ? SendHotkeyVolume(link, level)
                                        : SendVolume(link, level);
      data[1] = static_cast<uint8_t>(acknowledged);
      return acknowledged == 1 ? kAvResultDone : kAvResultNotAcknowledged;
    }
    default:
      return kAvResultBadOperation;
  }
}

void AvCommandClient(PipeConnection& connection, ServiceVolume& volume, SerialLink& link) {
  uint8_t header[kAvHeaderSize] = {};
  size_t received = 0;
  if (!connection.Read(header, sizeof(header), kPipeRequestWaitMs, &received)) return;  // no reply

  std::vector<uint8_t> data(kAvMaxDataLength, 0);
  uint32_t result = kAvResultDone;
  if (header[kAvCommandOffset] == kAvOperationCommand) {
    const uint16_t length = AvDataLength(header);
    if (!AvDataLengthValid(length)) {
      result = kAvResultBadLength;  // no data is read
    } else {
      // A block that does not come whole is refused and nothing goes to the board: carried
      // out with zeros where bytes were missing, it would be another operation.
      if (!ReadDataBlock(connection, data.data(), length)) {
        result = kAvResultBadLength;
      } else {
        result = length < 2 ? kAvResultBadOperation : DispatchAvCommand(volume, link, data.data());
      }
    }
  }
  const size_t data_bytes = BuildAvReplyHeader(header, result);
  connection.Write(header, sizeof(header));
  if (data_bytes != 0) connection.Write(data.data(), data_bytes);  // a second message
}

void StartAvCommandListener(PipeEndpoint& endpoint, int instance, ServiceVolume& volume,
                            SerialLink& link) {
  const PipeEndpointShape shape{kAvCommandPipeNameFormat, kAvCommandMutexName,
                                kAvReceptionHeadSize};
  StartPipeEndpoint(endpoint, shape, instance, [&volume, &link](PipeConnection& connection) {
    AvCommandClient(connection, volume, link);
  });
}

}  // namespace halvaro

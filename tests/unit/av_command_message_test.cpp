#include <gtest/gtest.h>

#include <vector>

#include "common/av_command_message.h"

namespace halvaro {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Reply(Bytes header, uint32_t result, size_t* data_bytes) {
  *data_bytes = BuildAvReplyHeader(header.data(), result);
  return header;
}

TEST(AvCommandMessageTest, ReplyHeadersAreByteExact) {
  size_t data = 99;
  // An unknown command: 0xFF, byte 1 kept, length 0, offset 4 as received; no data.
  EXPECT_EQ(Reply({0x02, 0x5A, 0x10, 0x00, 0xDE, 0xAD, 0xBE, 0xEF}, kAvResultDone, &data),
            (Bytes{0xFF, 0x5A, 0x00, 0x00, 0xDE, 0xAD, 0xBE, 0xEF}));
  EXPECT_EQ(data, 0u);
  // Done: the data length stays and the data follows.
  EXPECT_EQ(Reply({0x01, 0x5A, 0x00, 0x10, 0xDE, 0xAD, 0xBE, 0xEF}, kAvResultDone, &data),
            (Bytes{0x81, 0x5A, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_EQ(data, 4096u);
  // Any other result: length 0, the result little-endian, no data.
  EXPECT_EQ(Reply({0x01, 0x00, 0x02, 0x00, 0, 0, 0, 0}, kAvResultNotAcknowledged, &data),
            (Bytes{0x81, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x80}));
  EXPECT_EQ(data, 0u);
  EXPECT_EQ(Reply({0x01, 0x00, 0x01, 0x10, 0, 0, 0, 0}, kAvResultBadLength, &data),
            (Bytes{0x81, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(AvCommandMessageTest, DataLengthBoundsAndClientMessages) {
  EXPECT_FALSE(AvDataLengthValid(0));
  EXPECT_TRUE(AvDataLengthValid(1));
  EXPECT_TRUE(AvDataLengthValid(4096));
  EXPECT_FALSE(AvDataLengthValid(4097));

  EXPECT_EQ(EncodeAvRequest(kAvHotkeyVolumeOperation, 150),
            (Bytes{0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x96}));
  const Bytes long_request = EncodeAvRequest(kAvQueryOperation, 0, 4096);
  ASSERT_EQ(long_request.size(), 8u + 4096u);
  EXPECT_EQ(AvDataLength(long_request.data()), 4096u);
  EXPECT_EQ(EncodeAvRequest(kAvSetVolumeOperation, 7, 1),
            (Bytes{0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02}));

  const uint8_t reply[] = {0x81, 0x00, 0x02, 0x00, 0x0A, 0x00, 0x00, 0x80};
  const auto decoded = DecodeAvReplyHeader(reply, sizeof(reply));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->reply_code, 0x81);
  EXPECT_EQ(decoded->data_length, 2u);
  EXPECT_EQ(decoded->result, kAvResultBadOperation);
  EXPECT_FALSE(DecodeAvReplyHeader(reply, 7));
  EXPECT_EQ(AvReplyLength(reply, sizeof(reply)), 10u);  // the header and its 2 data bytes
  EXPECT_EQ(AvReplyLength(reply, 7), 0u);
}

}  // namespace
}  // namespace halvaro

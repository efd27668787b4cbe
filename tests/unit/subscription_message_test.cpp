#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/bounded_format.h"
#include "common/subscription_message.h"

namespace halvaro {
namespace {

using B = std::vector<uint8_t>;

// A 32-byte buffer holding `request` at its start and zeros after it, as the server reads.
SubscriptionBuffer Received(const B& request) {
  SubscriptionBuffer buffer;
  std::memcpy(buffer.bytes, request.data(), std::min(request.size(), sizeof buffer.bytes));
  return buffer;
}

// Runs the server side on `request` and returns the bytes it would send.
B Reply(const B& request, uint32_t result, uint32_t last_code) {
  SubscriptionBuffer buffer = Received(request);
  const size_t received = std::min(request.size(), sizeof buffer.bytes);
  const size_t length = BuildSubscriptionReply(buffer.bytes, received, result, last_code);
  EXPECT_LE(length, sizeof buffer.bytes);
  return B(buffer.bytes, buffer.bytes + length);
}

// A full 32-byte request whose every byte past the command is distinct and non-zero.
B Patterned(uint8_t command) {
  B request(32);
  request[0] = command;
  for (size_t i = 1; i < request.size(); ++i) request[i] = static_cast<uint8_t>(0xA0 + i);
  return request;
}

TEST(SubscriptionMessageTest, LittleEndianHelpers) {
  uint8_t bytes[4] = {};
  StoreLittleEndian32(bytes, 0x12345678);
  EXPECT_EQ(B(bytes, bytes + 4), (B{0x78, 0x56, 0x34, 0x12}));
  const uint8_t high[4] = {0x0A, 0x00, 0x00, 0x80};
  EXPECT_EQ(LoadLittleEndian32(high), 0x8000000Au);
}

// The names that the service and its clients meet by, as formatted for an instance or a
// process id into the buffers the programs use; the longest id still fits.
TEST(SubscriptionMessageTest, NamesForAProcessAreTheWireNames) {
  wchar_t pipe[kPipeNameSize];
  EXPECT_EQ(FormatBounded(pipe, kPipeNameSize, kSubscriptionPipeNameFormat, 0), kFormatOk);
  EXPECT_STREQ(pipe, L"\\\\.\\pipe\\OrvaEMA_srv_np_0");
  wchar_t name[kObjectNameSize];
  EXPECT_EQ(FormatBounded(name, kObjectNameSize, kWakeEventNameFormat, 0x1A2Bu), kFormatOk);
  EXPECT_STREQ(name, L"Global\\ORVAWMIEMA_1a2b");
  EXPECT_EQ(FormatBounded(name, kObjectNameSize, kRemovalEventNameFormat, 0x1A2Bu), kFormatOk);
  EXPECT_STREQ(name, L"Global\\ORVAWMIEMA_RM_1a2b");
  EXPECT_EQ(FormatBounded(name, kObjectNameSize, kRemovalEventNameFormat, 0xFFFFFFFFu),
            kFormatOk);
  EXPECT_STREQ(name, L"Global\\ORVAWMIEMA_RM_ffffffff");
}

TEST(SubscriptionMessageTest, SubscribeReplyIsSixteenBytesWithTheResult) {
  const B request = {0x01, 0x11, 0x22, 0x33, 0x04, 0x00, 0x00, 0x00, 0xAA, 0xBB,
                     0xCC, 0xDD, 0xEE, 0xEF, 0xF0, 0xF1, 0x78, 0x56, 0x34, 0x12};
  EXPECT_EQ(Reply(request, 0x90000001, 0x55555555),
            (B{0x81, 0x11, 0x22, 0x33, 0x04, 0x00, 0x00, 0x00,
               0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x90}));
  EXPECT_EQ(Reply(request, 0, 7),
            (B{0x81, 0x11, 0x22, 0x33, 0x04, 0x00, 0x00, 0x00,
               0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_EQ(Reply(request, 0x8000000A, 0),
            (B{0x81, 0x11, 0x22, 0x33, 0x04, 0x00, 0x00, 0x00,
               0x00, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x80}));
  // The service's answer when it cannot make the client's wake event.
  EXPECT_EQ(Reply(request, kSubscriptionResultNoWakeEvent, 0),
            (B{0x81, 0x11, 0x22, 0x33, 0x04, 0x00, 0x00, 0x00,
               0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x90}));
}

TEST(SubscriptionMessageTest, UnsubscribeReplyIsSixteenBytesWithTheResult) {
  const B request = {0x02, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00,
                     0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x2A, 0x00, 0x00, 0x00};
  EXPECT_EQ(Reply(request, 0x90000000, 0),
            (B{0x82, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,
               0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x90}));
  EXPECT_EQ(Reply(request, 0xFFFFFFFF, 0),
            (B{0x82, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,
               0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(SubscriptionMessageTest, ReadLastCodeReplyIsTwentyBytesWithTheCodeAndResultZero) {
  EXPECT_EQ(Reply(Patterned(3), 0xFFFFFFFF, 0x0102ABCD),
            (B{0x83, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0x04, 0x00,
               0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xCD, 0xAB, 0x02, 0x01}));
  // The bare command byte: everything else reads as zero; a code of 0 before any event.
  EXPECT_EQ(Reply(B{0x03}, 0x12345678, 0),
            (B{0x83, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00,
               0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
}

TEST(SubscriptionMessageTest, UnknownCommandReplyKeepsOffsetTwelveAsReceived) {
  for (int command : {0x00, 0x04, 0x05, 0x7F, 0x81, 0x83, 0xFE, 0xFF}) {
    EXPECT_EQ(Reply(Patterned(static_cast<uint8_t>(command)), 0x90000000, 0x11111111),
              (B{0xFF, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7,
                 0x00, 0x00, 0x00, 0x00, 0xAC, 0xAD, 0xAE, 0xAF}))
        << command;
  }
}

TEST(SubscriptionMessageTest, OffsetsOneToSevenPassThroughForEveryCommand) {
  for (int command : {1, 2, 3, 0, 9}) {
    const B reply = Reply(Patterned(static_cast<uint8_t>(command)), 0, 0);
    ASSERT_GE(reply.size(), 16u);
    EXPECT_EQ(B(reply.begin() + 1, reply.begin() + 8),
              (B{0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7}))
        << command;
  }
}

TEST(SubscriptionMessageTest, ReplyPayloadLengthOverwritesWhateverWasAtOffsetEight) {
  for (int command : {1, 2, 0, 200}) {
    const B reply = Reply(Patterned(static_cast<uint8_t>(command)), 0, 0);
    EXPECT_EQ(B(reply.begin() + 8, reply.begin() + 12), (B{0, 0, 0, 0})) << command;
  }
  const B reply = Reply(Patterned(3), 0, 0);
  EXPECT_EQ(B(reply.begin() + 8, reply.begin() + 12), (B{4, 0, 0, 0}));
}

TEST(SubscriptionMessageTest, ReplyCodes) {
  EXPECT_EQ(SubscriptionReplyCode(1), 0x81);
  EXPECT_EQ(SubscriptionReplyCode(2), 0x82);
  EXPECT_EQ(SubscriptionReplyCode(3), 0x83);
  for (int command = 0; command < 256; ++command) {
    if (command >= 1 && command <= 3) continue;
    EXPECT_EQ(SubscriptionReplyCode(static_cast<uint8_t>(command)), 0xFF) << command;
  }
}

TEST(SubscriptionMessageTest, DecodeReadsFixedOffsets) {
  const B request = {0x01, 0xEE, 0xEE, 0xEE, 0x10, 0x20, 0x30, 0x40, 0xEE, 0xEE,
                     0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEF, 0xBE, 0xAD, 0xDE};
  const SubscriptionRequest decoded = DecodeSubscriptionRequest(request.data(), request.size());
  EXPECT_EQ(decoded.command, 1);
  EXPECT_EQ(decoded.payload_length, 0x40302010u);
  EXPECT_EQ(decoded.process_id, 0xDEADBEEFu);
  EXPECT_TRUE(CarriesProcessId(decoded));
}

TEST(SubscriptionMessageTest, PayloadLengthBelowFourCarriesNoProcessId) {
  for (uint32_t length : {0u, 1u, 2u, 3u}) {
    const EncodedSubscriptionRequest request = EncodeSubscriptionRequest(1, 42, length);
    EXPECT_FALSE(CarriesProcessId(DecodeSubscriptionRequest(request.bytes, request.length)))
        << length;
  }
  for (uint32_t length : {4u, 5u, 16u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
    const EncodedSubscriptionRequest request = EncodeSubscriptionRequest(2, 42, length);
    EXPECT_TRUE(CarriesProcessId(DecodeSubscriptionRequest(request.bytes, request.length)))
        << length;
  }
}

TEST(SubscriptionMessageTest, BytesNotReceivedReadAsZero) {
  // A buffer whose stale contents past the received bytes must not be used.
  B stale(32, 0xCC);
  stale[0] = 0x01;
  stale[4] = 0x04;
  for (size_t received : {0u, 1u, 4u, 5u, 8u, 16u, 17u, 19u}) {
    const SubscriptionRequest decoded = DecodeSubscriptionRequest(stale.data(), received);
    SCOPED_TRACE(received);
    EXPECT_EQ(decoded.command, received >= 1 ? 1 : 0);
    const uint32_t payload = received >= 8 ? 0xCCCCCC04u : received == 5 ? 0x04u : 0u;
    EXPECT_EQ(decoded.payload_length, payload);
    EXPECT_EQ(decoded.process_id, received >= 17 && received < 20
                                      ? (received == 17 ? 0xCCu : 0xCCCCCCu)
                                      : 0u);
  }
  EXPECT_EQ(DecodeSubscriptionRequest(stale.data(), 20).process_id, 0xCCCCCCCCu);
}

TEST(SubscriptionMessageTest, ShortSubscribeHasNoPayloadLengthAndAnswersAsGiven) {
  // Only the command byte came: payload length 0, so the server answers -1.
  const SubscriptionRequest decoded = DecodeSubscriptionRequest(B{0x01}.data(), 1);
  EXPECT_FALSE(CarriesProcessId(decoded));
  EXPECT_EQ(Reply(B{0x01}, kSubscriptionResultBadLength, 0),
            (B{0x81, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
               0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(SubscriptionMessageTest, ReplyClearsStaleBytesPastWhatWasReceived) {
  SubscriptionBuffer buffer;
  std::memset(buffer.bytes, 0xCC, sizeof buffer.bytes);
  buffer.bytes[0] = 0x07;
  buffer.bytes[1] = 0x42;
  const size_t length = BuildSubscriptionReply(buffer.bytes, 2, 0x90000000, 0);
  EXPECT_EQ(B(buffer.bytes, buffer.bytes + length),
            (B{0xFF, 0x42, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
               0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));

  std::memset(buffer.bytes, 0xCC, sizeof buffer.bytes);
  buffer.bytes[0] = 0x03;
  EXPECT_EQ(BuildSubscriptionReply(buffer.bytes, 1, 0, 0x99), 20u);
  EXPECT_EQ(B(buffer.bytes, buffer.bytes + 20),
            (B{0x83, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00,
               0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x99, 0x00, 0x00, 0x00}));
}

TEST(SubscriptionMessageTest, OnlyTheFirstThirtyTwoBytesOfALongRequestCount) {
  B request = Patterned(1);
  request.resize(64, 0x77);  // bytes 32 and on must be ignored
  const SubscriptionRequest decoded = DecodeSubscriptionRequest(request.data(), request.size());
  EXPECT_EQ(decoded.command, 1);
  EXPECT_EQ(decoded.payload_length, 0xA7A6A5A4u);
  EXPECT_EQ(decoded.process_id, 0xB3B2B1B0u);

  // Received counts above 32 are taken as 32; the reply is still built in the 32 bytes.
  SubscriptionBuffer buffer = Received(request);
  const size_t length = BuildSubscriptionReply(buffer.bytes, 64, 0x90000001, 0);
  EXPECT_EQ(B(buffer.bytes, buffer.bytes + length),
            (B{0x81, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7,
               0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x90}));
  // Offsets 16 to 31 of the buffer are past the reply and left as they were.
  EXPECT_EQ(buffer.bytes[16], 0xB0);
  EXPECT_EQ(buffer.bytes[31], 0xBF);
}

TEST(SubscriptionMessageTest, ClientRequestsAreByteExact) {
  const EncodedSubscriptionRequest subscribe = EncodeSubscriptionRequest(1, 0x00001A2B);
  EXPECT_EQ(B(subscribe.bytes, subscribe.bytes + subscribe.length),
            (B{0x01, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00,
               0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x2B, 0x1A, 0x00, 0x00}));
  const EncodedSubscriptionRequest last = EncodeSubscriptionRequest(3, 0, 0);
  EXPECT_EQ(B(last.bytes, last.bytes + last.length),
            (B{0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
               0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
  const EncodedSubscriptionRequest odd = EncodeSubscriptionRequest(2, 0xFFFFFFFF, 3);
  EXPECT_EQ(B(odd.bytes, odd.bytes + odd.length),
            (B{0x02, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00,
               0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(SubscriptionMessageTest, ClientDecodesReplies) {
  const B subscribed = {0x81, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,
                        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x90};
  const auto reply = DecodeSubscriptionReply(subscribed.data(), subscribed.size());
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->reply_code, 0x81);
  EXPECT_EQ(reply->payload_length, 4u);
  EXPECT_EQ(reply->reply_payload_length, 0u);
  EXPECT_EQ(reply->result, 0x90000000u);
  EXPECT_FALSE(reply->has_last_code);

  const B code = {0x83, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00,
                  0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x9A, 0x02, 0x00, 0x00};
  const auto last = DecodeSubscriptionReply(code.data(), code.size());
  ASSERT_TRUE(last.has_value());
  EXPECT_EQ(last->reply_code, 0x83);
  EXPECT_EQ(last->reply_payload_length, 4u);
  EXPECT_EQ(last->result, 0u);
  EXPECT_TRUE(last->has_last_code);
  EXPECT_EQ(last->last_code, 666u);
}

TEST(SubscriptionMessageTest, ReplyLengthFollowsTheReplyCode) {
  const uint8_t code_reply[1] = {0x83};
  const uint8_t other[1] = {0x81};
  EXPECT_EQ(SubscriptionReplyLength(code_reply, 1), 20u);
  EXPECT_EQ(SubscriptionReplyLength(other, 1), 16u);
  EXPECT_EQ(SubscriptionReplyLength(other, 0), 0u);
}

TEST(SubscriptionMessageTest, ClientRejectsShortReplies) {
  const B sixteen(16, 0x00);
  EXPECT_FALSE(DecodeSubscriptionReply(sixteen.data(), 15).has_value());
  EXPECT_FALSE(DecodeSubscriptionReply(sixteen.data(), 0).has_value());
  EXPECT_TRUE(DecodeSubscriptionReply(sixteen.data(), 16).has_value());
  B code(20, 0x00);
  code[0] = 0x83;
  EXPECT_FALSE(DecodeSubscriptionReply(code.data(), 16).has_value());
  EXPECT_FALSE(DecodeSubscriptionReply(code.data(), 19).has_value());
  EXPECT_TRUE(DecodeSubscriptionReply(code.data(), 20).has_value());
}

TEST(SubscriptionMessageTest, ClientAndServerRoundTrip) {
  struct Case {
    uint8_t command;
    uint32_t process_id;
    uint32_t payload_length;
    uint32_t result;
    uint32_t last_code;
    uint8_t reply_code;  // what the client must see at offset 0
  };
  const Case cases[] = {
      {1, 0x1234, 4, 0x90000001, 0, 0x81},        {1, 7, 2, 0xFFFFFFFF, 0, 0x81},
      {2, 0xFFFFFFFF, 4, 0x90000000, 0, 0x82},    {3, 0, 0, 0xDEAD, 0x80000001, 0x83},
      {3, 99, 4, 0, 0, 0x83},                     {0, 5, 4, 0x90000002, 0, 0xFF},
      {42, 5, 0, 1, 2, 0xFF},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.command));
    const EncodedSubscriptionRequest sent =
        EncodeSubscriptionRequest(c.command, c.process_id, c.payload_length);
    SubscriptionBuffer buffer;
    std::memcpy(buffer.bytes, sent.bytes, sent.length);
    const SubscriptionRequest seen = DecodeSubscriptionRequest(buffer.bytes, sent.length);
    EXPECT_EQ(seen.command, c.command);
    EXPECT_EQ(seen.payload_length, c.payload_length);
    EXPECT_EQ(seen.process_id, c.process_id);

    const size_t length = BuildSubscriptionReply(buffer.bytes, sent.length, c.result, c.last_code);
    const auto reply = DecodeSubscriptionReply(buffer.bytes, length);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->reply_code, c.reply_code);
    EXPECT_EQ(reply->payload_length, c.payload_length);
    if (c.command == 3) {
      EXPECT_EQ(length, 20u);
      EXPECT_EQ(reply->result, 0u);
      EXPECT_EQ(reply->last_code, c.last_code);
    } else if (c.command == 1 || c.command == 2) {
      EXPECT_EQ(length, 16u);
      EXPECT_EQ(reply->result, c.result);
    } else {
      EXPECT_EQ(length, 16u);
      EXPECT_EQ(reply->result, 0u);  // offset 12 of the request, which the client left 0
    }
  }
}

}  // namespace
}  // namespace halvaro

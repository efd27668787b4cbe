#include <gtest/gtest.h>

#include <vector>

#include "avboard/av_frames.h"
#include "avboard/serial_link.h"

namespace halvaro {
namespace {

std::vector<uint8_t> Bytes(const AvFrame& frame) {
  return std::vector<uint8_t>(frame.bytes, frame.bytes + frame.length);
}

using B = std::vector<uint8_t>;

TEST(AvFramesTest, WorkedFramesAreByteExact) {
  EXPECT_EQ(Bytes(QueryFrame()), (B{0x6A, 0x01, 0x94}));
  EXPECT_EQ(Bytes(SetVolumeFrame(50)), (B{0x8A, 0x03, 0x32, 0x40}));
  EXPECT_EQ(Bytes(SetVolumeFrame(0)), (B{0x8A, 0x03, 0x00, 0x72}));
  EXPECT_EQ(Bytes(SetVolumeFrame(100)), (B{0x8A, 0x03, 0x64, 0x0E}));
  EXPECT_EQ(Bytes(HotkeyVolumeFrame(100)), (B{0x8A, 0x02, 0x64, 0x0F}));
  EXPECT_EQ(Bytes(HotkeyVolumeFrame(0)), (B{0x8A, 0x02, 0x00, 0x73}));
  EXPECT_EQ(Bytes(DiscStateFrame(1)), (B{0x8A, 0x08, 0x01, 0x6C}));
  EXPECT_EQ(Bytes(DiscStateFrame(0)), (B{0x8A, 0x08, 0x00, 0x6D}));
}

TEST(AvFramesTest, VolumeCommandsLimitTheirArgumentTo100AsUnsigned) {
  for (uint32_t above : {101u, 150u, 255u, 256u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    EXPECT_EQ(Bytes(SetVolumeFrame(above)), (B{0x8A, 0x03, 0x64, 0x0E})) << above;
    EXPECT_EQ(Bytes(HotkeyVolumeFrame(above)), (B{0x8A, 0x02, 0x64, 0x0F})) << above;
  }
  EXPECT_EQ(Bytes(SetVolumeFrame(99)), (B{0x8A, 0x03, 0x63, 0x0F}));
}

TEST(AvFramesTest, DiscStateSendsAnyByteUnchangedWithItsChecksum) {
  for (int value = 0; value < 256; ++value) {
    const AvFrame frame = DiscStateFrame(static_cast<uint8_t>(value));
    ASSERT_EQ(frame.length, 4u);
    EXPECT_EQ(frame.bytes[2], value);
    // The complement of the sum: all four bytes add up to 0xFF.
    EXPECT_EQ(static_cast<uint8_t>(frame.bytes[0] + frame.bytes[1] + frame.bytes[2] +
                                   frame.bytes[3]),
              0xFF);
  }
  EXPECT_EQ(Bytes(DiscStateFrame(0xC8)), (B{0x8A, 0x08, 0xC8, 0xA5}));
}

TEST(AvFramesTest, ChecksumWrapsThe8BitSum) {
  const uint8_t bytes[] = {0xFF, 0xFF, 0x03};  // sum 0x201 -> 0x01
  EXPECT_EQ(FrameChecksum(bytes, 3), 0xFE);
  EXPECT_EQ(FrameChecksum(bytes, 0), 0xFF);
}

TEST(AvFramesTest, OnlyF00FAcknowledges) {
  const uint8_t ack[2] = {0xF0, 0x0F};
  const uint8_t swapped[2] = {0x0F, 0xF0};
  const uint8_t half[2] = {0xF0, 0x00};
  const uint8_t zero[2] = {0x00, 0x00};
  EXPECT_TRUE(IsAcknowledgement(ack));
  EXPECT_FALSE(IsAcknowledgement(swapped));
  EXPECT_FALSE(IsAcknowledgement(half));
  EXPECT_FALSE(IsAcknowledgement(zero));
}

// The link's moves: a lost port is opened again, never merely closed; retired is final; a
// move from a state the link is not in does nothing.
TEST(SerialLinkStateTest, RetiredIsFinalAndLostOnlyOpens) {
  using S = LinkState;
  for (S to : {S::kClosed, S::kOpen, S::kLost, S::kRetired}) {
    EXPECT_FALSE(LegalLinkMove(S::kRetired, to));
  }
  EXPECT_FALSE(LegalLinkMove(S::kLost, S::kClosed));

  SerialLink link;
  EXPECT_FALSE(MoveLink(link, S::kOpen, S::kClosed));
  EXPECT_TRUE(MoveLink(link, S::kClosed, S::kLost));
  EXPECT_TRUE(MoveLink(link, S::kLost, S::kRetired));
  EXPECT_FALSE(MoveLink(link, S::kRetired, S::kOpen));
  EXPECT_TRUE(link.retired());
}

}  // namespace
}  // namespace halvaro

#include "avboard/av_frames.h"

namespace halvaro {

uint8_t FrameChecksum(const uint8_t* bytes, size_t count) {
  uint8_t sum = 0;
  for (size_t i = 0; i < count; ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
  return static_cast<uint8_t>(0xFF - sum);
}

uint8_t LimitPercent(uint32_t percent) {
  return static_cast<uint8_t>(percent > 100 ? 100 : percent);
}

AvFrame QueryFrame() {
  AvFrame frame;
  frame.bytes[0] = kQueryFrameType;
  frame.bytes[1] = kQueryCommand;
  frame.bytes[2] = FrameChecksum(frame.bytes, 2);
  frame.length = 3;
  return frame;
}

AvFrame SetFrame(uint8_t command, uint8_t value) {
  AvFrame frame;
  frame.bytes[0] = kSetFrameType;
  frame.bytes[1] = command;
  frame.bytes[2] = value;
  frame.bytes[3] = FrameChecksum(frame.bytes, 3);
  frame.length = 4;
  return frame;
}

AvFrame HotkeyVolumeFrame(uint32_t percent) {
  return SetFrame(kHotkeyVolumeCommand, LimitPercent(percent));
}

AvFrame SetVolumeFrame(uint32_t percent) {
  return SetFrame(kSetVolumeCommand, LimitPercent(percent));
}

AvFrame DiscStateFrame(uint8_t state) { return SetFrame(kDiscStateCommand, state); }

bool IsAcknowledgement(const uint8_t reply[2]) { return reply[0] == 0xF0 && reply[1] == 0x0F; }

}  // namespace halvaro

// The AV board's command frames and acknowledgement, as pure functions.
//
// Threading: reentrant.
#pragma once

#include <cstddef>
#include <cstdint>

namespace halvaro {

constexpr uint8_t kQueryFrameType = 0x6A;
constexpr uint8_t kSetFrameType = 0x8A;
constexpr uint8_t kQueryCommand = 0x01;
constexpr uint8_t kHotkeyVolumeCommand = 0x02;
constexpr uint8_t kSetVolumeCommand = 0x03;
constexpr uint8_t kDiscStateCommand = 0x08;

struct AvFrame {
  uint8_t bytes[4] = {};
  size_t length = 0;
};

// The complement of the 8-bit sum of `count` bytes.
uint8_t FrameChecksum(const uint8_t* bytes, size_t count);

// A percentage as the board takes it: anything above 100 (as unsigned) is 100.
uint8_t LimitPercent(uint32_t percent);

AvFrame QueryFrame();                                 // 6A 01 94
AvFrame SetFrame(uint8_t command, uint8_t value);     // 8A command value checksum
AvFrame HotkeyVolumeFrame(uint32_t percent);
AvFrame SetVolumeFrame(uint32_t percent);
AvFrame DiscStateFrame(uint8_t state);

bool IsAcknowledgement(const uint8_t reply[2]);       // F0 0F

}  // namespace halvaro

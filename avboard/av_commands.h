// The four commands the service sends to the AV board, each one whole exchange: purge the
// port, send the frame, read two bytes, send again on anything but the acknowledgement.
// Every exchange ends within kExchangeDeadlineMs of taking the line, however the board
// answers: a board that acknowledges, or refuses at once with 00 00, never meets the limit;
// one that answers half a reply or late is given up on.
//
// Threading: callable from any thread. Each exchange holds the link's lock from its purge to
// its return, so exchanges of different threads never interleave on the line. A caller waits
// at most kExchangeDeadlineMs for the line and gives up (result 0) when it stays taken. A
// silent board holds the caller for about one second per command.
#pragma once

#include <windows.h>

#include <cstdint>

#include "avboard/av_frames.h"
#include "avboard/serial_link.h"

namespace halvaro {

constexpr int kQueryAttempts = 200;
constexpr int kHotkeyVolumeAttempts = 200;
constexpr int kSetAttempts = 10;
// The longest one exchange holds the line, and the longest a caller waits for it.
constexpr DWORD kExchangeDeadlineMs = 2000;

// Returns 1 when the board acknowledged the frame within `attempt_limit` sends, else 0.
uint32_t AvExchange(SerialLink& link, const AvFrame& frame, int attempt_limit);

uint32_t QueryBoard(SerialLink& link);
uint32_t SendHotkeyVolume(SerialLink& link, uint32_t percent);
uint32_t SendVolume(SerialLink& link, uint32_t percent);
uint32_t SendDiscState(SerialLink& link, uint8_t state);

}  // namespace halvaro

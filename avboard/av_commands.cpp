#include "avboard/av_commands.h"

#include <algorithm>
#include <chrono>
#include <mutex>

#include "common/tick_deadline.h"

namespace halvaro {

uint32_t AvExchange(SerialLink& link, const AvFrame& frame, int attempt_limit) {
  if (!link.open()) return 0;
  // The line is waited for no longer than one exchange takes at most, so that no caller (the
  // window thread, EventThread, an audio notification thread) is held behind a slow board.
  std::unique_lock<TimedLock> guard(link.lock, std::chrono::milliseconds(kExchangeDeadlineMs));
  if (!guard.owns_lock() || !link.open()) return 0;  // busy, or closed while this sender waited

  const TickDeadline deadline = TickDeadline::After(kExchangeDeadlineMs);
  PurgeComm(link.handle.get(), PURGE_TXCLEAR | PURGE_RXCLEAR);
  for (int attempt = 1; attempt <= attempt_limit; ++attempt) {
    const DWORD left = deadline.Remaining();
    if (left == 0) return 0;
    if (SerialWrite(&link, frame.bytes, static_cast<DWORD>(frame.length)) == 0) return 0;
    // Only this attempt's bytes count: what an earlier answer left is no part of this one.
    uint8_t reply[2] = {0, 0};
    const DWORD got = SerialReadReply(&link, reply, std::min(left, kTransferTimeoutMs));
    if (got == 0) return 0;
    if (got == sizeof(reply) && IsAcknowledgement(reply)) return 1;
  }
  return 0;
}

uint32_t QueryBoard(SerialLink& link) { return AvExchange(link, QueryFrame(), kQueryAttempts); }

uint32_t SendHotkeyVolume(SerialLink& link, uint32_t percent) {
  return AvExchange(link, HotkeyVolumeFrame(percent), kHotkeyVolumeAttempts);
}

uint32_t SendVolume(SerialLink& link, uint32_t percent) {
  return AvExchange(link, SetVolumeFrame(percent), kSetAttempts);
}

uint32_t SendDiscState(SerialLink& link, uint8_t state) {
  return AvExchange(link, DiscStateFrame(state), kSetAttempts);
}

}  // namespace halvaro

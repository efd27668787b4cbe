#include "avboard/av_commands.h"

namespace halvaro {

uint32_t AvExchange(SerialLink& link, const AvFrame& frame, int attempt_limit) {
  // Not cleared between attempts: a one-byte answer changes byte 0 only.
  uint8_t reply[2] = {0, 0};
  if (!link.open) return 0;
  std::lock_guard<TimedLock> guard(link.lock);
  if (!link.open) return 0;  // closed while this sender waited

  PurgeComm(link.handle.get(), PURGE_TXCLEAR | PURGE_RXCLEAR);
  for (int attempt = 1;; ++attempt) {
    if (IsAcknowledgement(reply)) return 1;
    if (attempt > attempt_limit) return 0;
    if (SerialWrite(&link, frame.bytes, static_cast<DWORD>(frame.length)) == 0) return 0;
    if (SerialReadReply(&link, reply) == 0) return 0;
  }
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

// The serial port that leads to the AV board: opened and configured at start, then used for
// synchronous writes of command frames and reads of the board's two-byte replies. A port
// that fails at the operating-system level (the adapter unplugged, the handle dead) is
// closed and marked lost, so that it can be opened again once it is back; a board that
// merely stays silent leaves the port as it is.
//
// Threading: `lock` serialises whole command exchanges (see av_commands.h) and guards
// `handle`; the exchange holds it from its purge to its return. `open` may be read without
// the lock: it is cleared first by CloseSerialLink so that an exchange in flight gives up at
// its next transfer instead of holding up the stop. `lost` is written under the lock and
// read without it.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "common/locks.h"
#include "common/unique_resource.h"

namespace halvaro {

struct SerialLink {
  uint32_t baud_rate = 9600;   // written before the link is opened
  int32_t port_number = 1;     // written before the link is opened
  UniqueHandle handle;         // guarded by lock; null while closed
  std::atomic<uint32_t> open{0};
  // The port could not be opened, or failed under a transfer; cleared by the next open.
  std::atomic<bool> lost{false};
  std::atomic<bool> retired{false};
  TimedLock lock;
};

constexpr int kOpenAttempts = 50;
constexpr DWORD kOpenRetryPauseMs = 20;
constexpr DWORD kTransferTimeoutMs = 1000;

// One attempt to open and configure the port (8N1 at the link's baud rate). Returns 1 when
// open; 0 at once on a retired link. Caller holds link.lock.
uint32_t OpenSerialLink(SerialLink& link);

// Closes the port if open, then makes up to 50 attempts 20 ms apart. Returns the open flag;
// a port that could not be opened is marked lost.
uint32_t OpenSerialLinkWithRetry(SerialLink& link);

// One attempt to open a lost port again. Returns 1 when it is open now; 0 at once when the
// port is not lost or the link is retired.
uint32_t ReopenLostSerialLink(SerialLink& link);

// Asks the driver whether the open port still exists (no byte goes on the line); a port that
// does not answer is closed and marked lost.
void CheckSerialLink(SerialLink& link);

// Closes the port if open. Waits for an exchange in flight to give up (at most about one
// transfer time-out); if it cannot, the handle is left for the end of the process.
void CloseSerialLink(SerialLink& link);

// Closes the port for good: no later open succeeds. The stop path's way to close.
void RetireSerialLink(SerialLink& link);

// Transfers; 0 without any I/O when the link is missing or not open. A transfer that fails
// on a port that is gone closes it and marks it lost. Caller holds link.lock.
DWORD SerialWrite(SerialLink* link, const uint8_t* bytes, DWORD count);
// The read waits `timeout_ms` at most (the transfer time-out unless given).
DWORD SerialReadReply(SerialLink* link, uint8_t reply[2], DWORD timeout_ms = kTransferTimeoutMs);

}  // namespace halvaro

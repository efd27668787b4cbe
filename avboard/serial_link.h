// The serial port that leads to the AV board: opened and configured once at start, then
// used for synchronous writes of command frames and reads of the board's two-byte replies.
//
// Threading: `lock` serialises whole command exchanges (see av_commands.h) and guards
// `handle`; the exchange holds it from its purge to its return. `open` may be read without
// the lock: it is cleared first by CloseSerialLink so that an exchange in flight gives up at
// its next transfer instead of holding up the stop.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "common/unique_resource.h"

namespace halvaro {

struct SerialLink {
  uint32_t baud_rate = 9600;   // written before the link is opened
  int32_t port_number = 1;     // written before the link is opened
  UniqueHandle handle;         // guarded by lock; null while closed
  std::atomic<uint32_t> open{0};
  std::atomic<bool> retired{false};
  std::timed_mutex lock;
};

constexpr int kOpenAttempts = 50;
constexpr DWORD kOpenRetryPauseMs = 20;
constexpr DWORD kTransferTimeoutMs = 1000;

// One attempt to open and configure the port (8N1 at the link's baud rate). Returns 1 when
// open; 0 at once on a retired link. Caller holds link.lock.
uint32_t OpenSerialLink(SerialLink& link);

// Closes the port if open, then makes up to 50 attempts 20 ms apart. Returns the open flag.
uint32_t OpenSerialLinkWithRetry(SerialLink& link);

// Closes the port if open. Waits for an exchange in flight to give up (at most about one
// transfer time-out); if it cannot, the handle is left for the end of the process.
void CloseSerialLink(SerialLink& link);

// Closes the port for good: no later open succeeds. The stop path's way to close.
void RetireSerialLink(SerialLink& link);

// Transfers; 0 without any I/O when the link is missing or not open. Caller holds link.lock.
DWORD SerialWrite(SerialLink* link, const uint8_t* bytes, DWORD count);
DWORD SerialReadReply(SerialLink* link, uint8_t reply[2]);

}  // namespace halvaro

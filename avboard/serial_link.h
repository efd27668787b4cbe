// The serial port that leads to the AV board: opened and configured at start, then used for
// synchronous writes of command frames and reads of the board's two-byte replies. A port
// that fails at the operating-system level (the adapter unplugged, the handle dead) is
// closed and marked lost, so that it can be opened again once it is back; a board that
// merely stays silent leaves the port as it is.
//
// Threading: `lock` serialises whole command exchanges (see av_commands.h) and guards
// `handle`; the exchange holds it from its purge to its return. `state` may be read without
// the lock: a close moves it first so that an exchange in flight gives up at its next
// transfer instead of holding up the stop.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "common/locks.h"
#include "common/unique_resource.h"

namespace halvaro {

// Where the link stands. Lost: the port could not be opened, or failed under a transfer,
// and may be opened again. Retired: closed for good by the stop.
enum class LinkState : uint32_t { kClosed, kOpen, kLost, kRetired };

// The moves a link may make, all of them: closed or lost to open; open to closed; open or
// closed to lost; any but retired to retired. Retired is final.
constexpr bool LegalLinkMove(LinkState from, LinkState to) {
  switch (to) {
    case LinkState::kOpen: return from == LinkState::kClosed || from == LinkState::kLost;
    case LinkState::kClosed: return from == LinkState::kOpen;
    case LinkState::kLost: return from == LinkState::kOpen || from == LinkState::kClosed;
    case LinkState::kRetired: return from != LinkState::kRetired;
  }
  return false;
}

struct SerialLink {
  uint32_t baud_rate = 9600;   // written before the link is opened
  int32_t port_number = 1;     // written before the link is opened
  UniqueHandle handle;         // guarded by lock; null unless open
  std::atomic<LinkState> state{LinkState::kClosed};  // changed by MoveLink only
  // The error of the last open that failed (the system's error code), for the service's
  // report of a port it could not open; written under lock, read without it.
  std::atomic<DWORD> open_error{0};
  TimedLock lock{LockRank::kSerialLink};

  bool open() const { return state == LinkState::kOpen; }
  bool lost() const { return state == LinkState::kLost; }
  bool retired() const { return state == LinkState::kRetired; }
};

// Moves the link from `from` to `to` if it is at `from` and the move is legal; whether it
// moved.
bool MoveLink(SerialLink& link, LinkState from, LinkState to);

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

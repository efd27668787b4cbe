#include "avboard/serial_link.h"

#include <chrono>

#include "common/bounded_format.h"
#include "common/object_names.h"

namespace halvaro {

namespace {

// Closing must wait longer than one transfer time-out so that an exchange in flight can end.
constexpr auto kCloseWait = std::chrono::milliseconds(kTransferTimeoutMs + 500);

// Sets one pair of total time-outs to 0 and `timeout_ms`, only when it differs: a port whose
// time-outs are right sees no SetCommTimeouts. The other fields stay as read.
void EnsureTotalTimeout(HANDLE port, DWORD COMMTIMEOUTS::*multiplier,
                        DWORD COMMTIMEOUTS::*constant, DWORD timeout_ms = kTransferTimeoutMs) {
  COMMTIMEOUTS timeouts = {};
  GetCommTimeouts(port, &timeouts);
  if (timeouts.*multiplier == 0 && timeouts.*constant == timeout_ms) return;
  timeouts.*multiplier = 0;
  timeouts.*constant = timeout_ms;
  SetCommTimeouts(port, &timeouts);
}

// From open to `to` (closed or lost), the handle let go. Caller holds link.lock.
void CloseHandleLocked(SerialLink& link, LinkState to) {
  if (MoveLink(link, LinkState::kOpen, to)) link.handle.reset();
}

// Whether a port whose transfer has failed is gone: its driver no longer answers the error
// query (which also clears an error that stopped the transfer).
bool SerialPortGone(HANDLE port) {
  DWORD errors = 0;
  COMSTAT status = {};
  return !ClearCommError(port, &errors, &status);
}

// After a failed transfer, or to look at the port. Caller holds link.lock.
void NoteTransferFailure(SerialLink& link, HANDLE port) {
  if (!SerialPortGone(port)) return;
  CloseHandleLocked(link, LinkState::kLost);
}

}  // namespace

bool MoveLink(SerialLink& link, LinkState from, LinkState to) {
  return LegalLinkMove(from, to) && link.state.compare_exchange_strong(from, to);
}

uint32_t OpenSerialLink(SerialLink& link) {
  if (link.retired()) return 0;
  wchar_t name[kObjectNameSize];
  FormatBounded(name, kObjectNameSize, kSerialPortNameFormat, link.port_number);

  UniqueHandle port(CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  CloseHandleLocked(link, LinkState::kClosed);  // a lost link stays lost until it opens
  const auto failed = [&link] {
    link.open_error = GetLastError();
    return 0u;
  };
  if (!port) return failed();

  DCB dcb = {};
  dcb.DCBlength = sizeof(dcb);
  if (!GetCommState(port.get(), &dcb)) return failed();
  dcb.BaudRate = link.baud_rate;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  if (!SetCommState(port.get(), &dcb)) return failed();

  link.handle.reset(port.release());  // the handle is in place before the state says open
  if (MoveLink(link, LinkState::kClosed, LinkState::kOpen) ||
      MoveLink(link, LinkState::kLost, LinkState::kOpen)) {
    return 1;
  }
  link.handle.reset();  // retired meanwhile
  return 0;
}

uint32_t OpenSerialLinkWithRetry(SerialLink& link) {
  // Nothing signals this event: waiting on it is the pause between attempts.
  UniqueHandle pause(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    if (link.retired()) return 0;  // the stop has taken the port for good
    {
      std::lock_guard<TimedLock> guard(link.lock);
      if (attempt == 0) CloseHandleLocked(link, LinkState::kClosed);
      if (OpenSerialLink(link)) return 1;
    }
    if (pause) {
      WaitForSingleObject(pause.get(), kOpenRetryPauseMs);
    } else {
      Sleep(kOpenRetryPauseMs);
    }
  }
  MoveLink(link, LinkState::kClosed, LinkState::kLost);
  return link.open();
}

uint32_t ReopenLostSerialLink(SerialLink& link) {
  if (!link.lost()) return 0;
  std::lock_guard<TimedLock> guard(link.lock);
  if (!link.lost()) return link.open();  // opened by another caller meanwhile
  return OpenSerialLink(link);
}

void CheckSerialLink(SerialLink& link) {
  if (!link.open()) return;
  // An exchange in progress shows the port alive anyway: no need to wait long for it.
  std::unique_lock<TimedLock> guard(link.lock, kCloseWait);
  if (guard.owns_lock() && link.open()) NoteTransferFailure(link, link.handle.get());
}


void CloseSerialLink(SerialLink& link) {
  // Moved first: an exchange in flight stops at its next transfer.
  if (!MoveLink(link, LinkState::kOpen, LinkState::kClosed)) return;
  std::unique_lock<TimedLock> guard(link.lock, kCloseWait);
  if (!guard.owns_lock()) return;
  link.handle.reset();
}

void RetireSerialLink(SerialLink& link) {
  LinkState now = link.state;
  while (now != LinkState::kRetired && !MoveLink(link, now, LinkState::kRetired)) {
    now = link.state;  // moved meanwhile: retire from where it is now
  }
  // Taken even when the link was closed: an open may be under way on another thread.
  std::unique_lock<TimedLock> guard(link.lock, kCloseWait);
  if (!guard.owns_lock()) return;
  link.handle.reset();
}

DWORD SerialWrite(SerialLink* link, const uint8_t* bytes, DWORD count) {
  if (!link || !link->open()) return 0;
  HANDLE port = link->handle.get();
  EnsureTotalTimeout(port, &COMMTIMEOUTS::WriteTotalTimeoutMultiplier,
                     &COMMTIMEOUTS::WriteTotalTimeoutConstant);
  DWORD written = 0;
  if (!WriteFile(port, bytes, count, &written, nullptr)) NoteTransferFailure(*link, port);
  return written;
}

DWORD SerialReadReply(SerialLink* link, uint8_t reply[2], DWORD timeout_ms) {
  if (!link || !link->open()) return 0;
  HANDLE port = link->handle.get();
  EnsureTotalTimeout(port, &COMMTIMEOUTS::ReadTotalTimeoutMultiplier,
                     &COMMTIMEOUTS::ReadTotalTimeoutConstant, timeout_ms);
  DWORD read = 0;
  if (!ReadFile(port, reply, 2, &read, nullptr)) NoteTransferFailure(*link, port);
  return read;
}

}  // namespace halvaro

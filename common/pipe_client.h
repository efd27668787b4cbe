// The client side of the service's named pipes: one connection per request, one request and
// one reply on it. Every wait is bounded, so a program that holds a pipe's name and never
// answers, or answers half a reply, costs the caller the limits given and no more.
//
// Threading: no shared state. A PipeClient is owned by one thread; its I/O is overlapped and
// waited for (and cancelled on time-out) on that thread before the call returns, so no I/O
// outlives the buffers of a call. Any number of threads may use clients of their own at once.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/tick_deadline.h"
#include "common/unique_resource.h"

namespace halvaro {

enum class PipeOutcome {
  kDone,         // connected, or the whole reply is in
  kAbsent,       // no instance of the name exists
  kBusy,         // every instance stayed busy for the connect limit
  kOpenFailed,   // any other refusal of the open (access denied, ...)
  kWriteFailed,  // the request could not be written within the limit
  kNoReply,      // the reply did not come whole within the limit
  kClosed,       // the server ended the connection, or sent an empty message, before the
                 // reply was whole
};

struct PipeLimits {
  DWORD connect_ms = 3000;  // for an instance while every one is busy
  DWORD absent_ms = 1000;   // for an instance while none exists (the server may be between two)
  DWORD reply_ms = 3000;    // for the write and the whole reply
};

// How long the reply is, once `received` bytes of it are in: 0 while that cannot be told yet.
using ReplyLengthFunction = size_t (*)(const uint8_t* bytes, size_t received);

class PipeClient {
 public:
  explicit PipeClient(const PipeLimits& limits = PipeLimits()) : limits_(limits) {}

  // Opens a connection to `name`; closes one held before. The system's error is in error().
  PipeOutcome Connect(const wchar_t* name);
  // Whether this Windows can name the process that made a pipe instance (NT 6.0 and later).
  static bool SystemNamesServer();
  // The process that made the connected instance, or 0 when the system does not tell.
  uint32_t ServerProcessId() const;
  // Writes `request` and reads until the reply is as long as `reply_length` says (more is
  // not read, and never more than 4104 bytes), the server closes or sends an empty message,
  // or the reply limit is over.
  PipeOutcome Transact(const uint8_t* request, size_t length, ReplyLengthFunction reply_length,
                       std::vector<uint8_t>* reply);
  // Connect, then Transact, for a caller that need not see the instance in between: the
  // outcome of the first of the two that is not kDone.
  PipeOutcome Ask(const wchar_t* name, const uint8_t* request, size_t length,
                  ReplyLengthFunction reply_length, std::vector<uint8_t>* reply);

  DWORD error() const { return error_; }

 private:
  // Waits for an overlapped I/O of this thread; cancels it when `deadline` passes first.
  bool Finish(OVERLAPPED* overlapped, const TickDeadline& deadline, DWORD* transferred);

  PipeLimits limits_;
  UniqueHandle pipe_;
  UniqueHandle io_event_;
  DWORD error_ = ERROR_SUCCESS;
};

}  // namespace halvaro

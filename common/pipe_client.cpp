#include "common/pipe_client.h"

#include <algorithm>

#include "common/system_function.h"

namespace halvaro {

namespace {

constexpr DWORD kAbsentRetryMs = 50;
constexpr size_t kReadChunk = 4096;
constexpr size_t kMostReplyBytes = 8 + 4096;  // more than either pipe sends

}  // namespace

PipeOutcome PipeClient::Connect(const wchar_t* name) {
  pipe_.reset();
  const DWORD start = GetTickCount();
  const TickDeadline busy_deadline(start, limits_.connect_ms);
  const TickDeadline absent_deadline(start, limits_.absent_ms);
  for (;;) {
    pipe_.reset(CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr));
    if (pipe_) {
      error_ = ERROR_SUCCESS;
      return PipeOutcome::kDone;
    }
    error_ = GetLastError();
    if (error_ == ERROR_PIPE_BUSY) {
      // 0 would mean the pipe's own default wait.
      const DWORD left = busy_deadline.Remaining();
      if (left == 0) return PipeOutcome::kBusy;
      WaitNamedPipeW(name, left);
    } else if (error_ == ERROR_FILE_NOT_FOUND) {
      const DWORD left = absent_deadline.Remaining();
      if (left == 0) return PipeOutcome::kAbsent;
      Sleep(std::min(kAbsentRetryMs, left));
    } else {
      return PipeOutcome::kOpenFailed;
    }
  }
}

namespace {

using ServerProcessIdFunction = BOOL(WINAPI*)(HANDLE pipe, PULONG process_id);

// NT 6.0 and later; null before.
ServerProcessIdFunction ServerProcessIdLookup() {
  static const ServerProcessIdFunction function =
      LookUpSystemFunction<ServerProcessIdFunction>(L"kernel32.dll",
                                                    "GetNamedPipeServerProcessId");
  return function;
}

}  // namespace

bool PipeClient::SystemNamesServer() { return ServerProcessIdLookup() != nullptr; }

uint32_t PipeClient::ServerProcessId() const {
  const ServerProcessIdFunction server_process_id = ServerProcessIdLookup();
  ULONG id = 0;
  if (!pipe_ || !server_process_id || !server_process_id(pipe_.get(), &id)) return 0;
  return id;
}

bool PipeClient::Finish(OVERLAPPED* overlapped, const TickDeadline& deadline,
                        DWORD* transferred) {
  if (WaitForSingleObject(overlapped->hEvent, deadline.Remaining()) != WAIT_OBJECT_0) {
    // The buffer and the OVERLAPPED belong to the caller's frame: the I/O ends here.
    CancelIo(pipe_.get());
    GetOverlappedResult(pipe_.get(), overlapped, transferred, TRUE);
    error_ = ERROR_TIMEOUT;
    return false;
  }
  if (!GetOverlappedResult(pipe_.get(), overlapped, transferred, FALSE)) {
    error_ = GetLastError();
    return error_ == ERROR_MORE_DATA;  // a message longer than the read: the rest follows
  }
  return true;
}

PipeOutcome PipeClient::Transact(const uint8_t* request, size_t length,
                                 ReplyLengthFunction reply_length, std::vector<uint8_t>* reply) {
  reply->clear();
  if (!pipe_) return PipeOutcome::kClosed;
  if (!io_event_) io_event_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!io_event_) {
    error_ = GetLastError();
    return PipeOutcome::kWriteFailed;
  }
  const TickDeadline deadline = TickDeadline::After(limits_.reply_ms);

  OVERLAPPED write = {};
  write.hEvent = io_event_.get();
  ResetEvent(write.hEvent);
  DWORD written = 0;
  if (!WriteFile(pipe_.get(), request, static_cast<DWORD>(length), nullptr, &write) &&
      GetLastError() != ERROR_IO_PENDING) {
    error_ = GetLastError();
    return PipeOutcome::kWriteFailed;
  }
  if (!Finish(&write, deadline, &written) || written != length) return PipeOutcome::kWriteFailed;

  uint8_t chunk[kReadChunk];
  for (;;) {
    const size_t wanted = reply_length(reply->data(), reply->size());
    // A length past what any reply has is cut at kMostReplyBytes.
    const size_t goal = wanted != 0 ? std::min(wanted, kMostReplyBytes) : kMostReplyBytes;
    if (reply->size() >= goal) return PipeOutcome::kDone;
    OVERLAPPED read = {};
    read.hEvent = io_event_.get();
    ResetEvent(read.hEvent);
    const DWORD want = static_cast<DWORD>(std::min(goal - reply->size(), kReadChunk));
    DWORD got = 0;
    if (!ReadFile(pipe_.get(), chunk, want, nullptr, &read)) {
      const DWORD error = GetLastError();
      if (error != ERROR_IO_PENDING && error != ERROR_MORE_DATA) {
        error_ = error;
        return PipeOutcome::kClosed;
      }
    }
    if (!Finish(&read, deadline, &got)) {
      return error_ == ERROR_TIMEOUT ? PipeOutcome::kNoReply : PipeOutcome::kClosed;
    }
    if (got == 0) {
      // An empty message is no part of any reply; taking it as one would let a server spin
      // this loop with empty writes until the deadline.
      error_ = ERROR_INVALID_DATA;
      return PipeOutcome::kClosed;
    }
    reply->insert(reply->end(), chunk, chunk + got);
  }
}

PipeOutcome PipeClient::Ask(const wchar_t* name, const uint8_t* request, size_t length,
                            ReplyLengthFunction reply_length, std::vector<uint8_t>* reply) {
  reply->clear();
  const PipeOutcome connected = Connect(name);
  if (connected != PipeOutcome::kDone) return connected;
  return Transact(request, length, reply_length, reply);
}

}  // namespace halvaro

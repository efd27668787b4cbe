#include "common/pipe_server.h"

#include <memory>
#include <vector>

#include "common/world_access.h"

namespace halvaro {

namespace {

constexpr DWORD kBufferSize = 4096;
constexpr DWORD kDefaultTimeoutMs = 150;
constexpr DWORD kCreationRetryMs = 500;
// How long a served client has to take its reply before the instance is disconnected.
constexpr DWORD kDrainTimeoutMs = 2000;

// Waits for an overlapped operation that returned ERROR_IO_PENDING; false when the stop
// event came first or the time ran out (the operation is then cancelled and over), or when
// it failed.
bool Finish(HANDLE pipe, OVERLAPPED* overlapped, DWORD* transferred, DWORD timeout_ms,
            HANDLE stop_event) {
  HANDLE waits[] = {overlapped->hEvent, stop_event};
  const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, timeout_ms);
  if (woke != WAIT_OBJECT_0) {
    CancelIoEx(pipe, overlapped);
    GetOverlappedResult(pipe, overlapped, transferred, TRUE);  // the I/O must be over
    return false;
  }
  return GetOverlappedResult(pipe, overlapped, transferred, FALSE) != FALSE;
}

}  // namespace

bool PipeServer::Start(Options options, Handler handler) {
  if (listener_.Running()) return false;
  options_ = std::move(options);
  handler_ = std::move(handler);
  return listener_.Start([this](HANDLE stop_event) { Listen(stop_event); });
}

bool PipeServer::Stop(DWORD timeout_ms) {
  const ULONGLONG began = GetTickCount64();
  // The listener first, so that no connection starts after the group has closed.
  const bool listener_ended = listener_.Stop(timeout_ms);
  DWORD left = timeout_ms;
  if (timeout_ms != INFINITE) {
    const ULONGLONG spent = GetTickCount64() - began;
    left = spent >= timeout_ms ? 0 : static_cast<DWORD>(timeout_ms - spent);
  }
  const bool connections_ended = connections_.StopAll(left);
  return listener_ended && connections_ended;
}

void PipeServer::Listen(HANDLE stop_event) {
  WorldAccessAttributes security(options_.access_mask);
  UniqueHandle connected_event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  int failures = 0;
  while (WaitForSingleObject(stop_event, 0) == WAIT_TIMEOUT) {
    UniqueHandle pipe(CreateNamedPipeW(
        options_.name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
        PIPE_TYPE_MESSAGE | PIPE_READMODE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
        kBufferSize, kBufferSize, kDefaultTimeoutMs, security.get()));
    if (!pipe) {
      if (++failures >= options_.creation_failures_allowed) break;
      WaitForSingleObject(stop_event, kCreationRetryMs);
      continue;
    }
    failures = 0;

    OVERLAPPED overlapped = {};
    overlapped.hEvent = connected_event.get();
    ResetEvent(connected_event.get());
    bool connected = ConnectNamedPipe(pipe.get(), &overlapped) != FALSE;
    if (!connected) {
      const DWORD error = GetLastError();
      DWORD unused = 0;
      if (error == ERROR_PIPE_CONNECTED) {
        connected = true;  // the client came between creation and the wait
      } else if (error == ERROR_IO_PENDING) {
        connected = Finish(pipe.get(), &overlapped, &unused, INFINITE, stop_event);
      }
    }
    if (!connected) continue;  // the instance is closed and a new one made

    // The connection owns the instance; if its thread cannot start, the instance closes
    // with the body that was never run.
    auto instance = std::make_shared<UniqueHandle>(std::move(pipe));
    connections_.Start([this, instance](HANDLE connection_stop) {
      Serve(instance->get(), connection_stop);
    });
  }
}

void PipeServer::Serve(HANDLE pipe, HANDLE stop_event) {
  UniqueHandle io_event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::vector<uint8_t> buffer(options_.request_capacity, 0);  // cleared before the read
  OVERLAPPED overlapped = {};
  overlapped.hEvent = io_event.get();

  DWORD received = 0;
  bool ok = ReadFile(pipe, buffer.data(), static_cast<DWORD>(buffer.size()), &received,
                     &overlapped) != FALSE;
  if (!ok) {
    const DWORD error = GetLastError();
    if (error == ERROR_MORE_DATA) {
      // A longer request: only its first bytes are taken, the rest goes with the disconnect.
      ok = GetOverlappedResult(pipe, &overlapped, &received, TRUE) != FALSE ||
           GetLastError() == ERROR_MORE_DATA;
      received = static_cast<DWORD>(buffer.size());
    } else if (error == ERROR_IO_PENDING) {
      ok = Finish(pipe, &overlapped, &received, INFINITE, stop_event) ||
           GetLastError() == ERROR_MORE_DATA;
    }
  }
  if (ok) {
    const size_t reply_length = handler_(buffer.data(), received);
    DWORD written = 0;
    ResetEvent(io_event.get());
    if (!WriteFile(pipe, buffer.data(), static_cast<DWORD>(reply_length), &written,
                   &overlapped) &&
        GetLastError() == ERROR_IO_PENDING) {
      Finish(pipe, &overlapped, &written, kDrainTimeoutMs, stop_event);
    }
    // Let the client take the reply before the instance is disconnected: it closes its end
    // once it has read it. Unlike a flush, this wait is bounded and ends with the stop.
    uint8_t rest[64];
    for (;;) {
      ResetEvent(io_event.get());
      DWORD drained = 0;
      if (ReadFile(pipe, rest, sizeof(rest), &drained, &overlapped)) continue;
      const DWORD error = GetLastError();
      if (error == ERROR_MORE_DATA) continue;
      if (error != ERROR_IO_PENDING) break;  // the client has gone
      if (!Finish(pipe, &overlapped, &drained, kDrainTimeoutMs, stop_event) &&
          GetLastError() != ERROR_MORE_DATA) {
        break;
      }
    }
  }
  DisconnectNamedPipe(pipe);
}

}  // namespace halvaro

#include "common/pipe_server.h"

#include <vector>

#include "common/world_access.h"

namespace halvaro {

namespace {

constexpr DWORD kBufferSize = 4096;
constexpr DWORD kDefaultTimeoutMs = 150;
constexpr DWORD kCreationRetryMs = 500;
// How long a served client has to take its reply before the instance is disconnected.
constexpr DWORD kDrainTimeoutMs = 2000;

}  // namespace

bool PipeServer::Start(Options options, Handler handler) {
  if (listener_.joinable()) return false;
  options_ = std::move(options);
  handler_ = std::move(handler);
  stop_event_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!stop_event_) return false;
  listener_ = std::thread([this] { Listen(); });
  return true;
}

void PipeServer::Stop() {
  if (stop_event_) SetEvent(stop_event_.get());
  if (listener_.joinable()) listener_.join();
  std::list<std::unique_ptr<Connection>> connections;
  {
    std::lock_guard<std::mutex> guard(connections_lock_);
    connections.swap(connections_);
  }
  for (auto& connection : connections) {
    if (connection->thread.joinable()) connection->thread.join();
  }
}

bool PipeServer::Finish(HANDLE pipe, OVERLAPPED* overlapped, DWORD* transferred,
                        DWORD timeout_ms) {
  HANDLE waits[] = {overlapped->hEvent, stop_event_.get()};
  const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, timeout_ms);
  if (woke != WAIT_OBJECT_0) {
    CancelIoEx(pipe, overlapped);
    GetOverlappedResult(pipe, overlapped, transferred, TRUE);  // the I/O must be over
    return false;
  }
  return GetOverlappedResult(pipe, overlapped, transferred, FALSE) != FALSE;
}

void PipeServer::ReapFinished() {
  for (auto it = connections_.begin(); it != connections_.end();) {
    if ((*it)->done) {
      (*it)->thread.join();
      it = connections_.erase(it);
    } else {
      ++it;
    }
  }
}

void PipeServer::Listen() {
  WorldAccessAttributes security(options_.access_mask);
  UniqueHandle connected_event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  int failures = 0;
  while (WaitForSingleObject(stop_event_.get(), 0) == WAIT_TIMEOUT) {
    UniqueFile pipe(CreateNamedPipeW(
        options_.name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
        PIPE_TYPE_MESSAGE | PIPE_READMODE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
        kBufferSize, kBufferSize, kDefaultTimeoutMs, security.get()));
    if (!pipe) {
      if (++failures >= options_.creation_failures_allowed) break;
      WaitForSingleObject(stop_event_.get(), kCreationRetryMs);
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
        connected = Finish(pipe.get(), &overlapped, &unused, INFINITE);
      }
    }
    if (!connected) continue;  // the instance is closed and a new one made

    std::lock_guard<std::mutex> guard(connections_lock_);
    ReapFinished();
    connections_.push_back(std::make_unique<Connection>());
    Connection* connection = connections_.back().get();
    connection->thread = std::thread(
        [this, connection](HANDLE raw) { Serve(UniqueHandle(raw), connection); }, pipe.release());
  }
}

void PipeServer::Serve(UniqueHandle pipe, Connection* self) {
  UniqueHandle io_event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::vector<uint8_t> buffer(options_.request_capacity, 0);  // cleared before the read
  OVERLAPPED overlapped = {};
  overlapped.hEvent = io_event.get();

  DWORD received = 0;
  bool ok = ReadFile(pipe.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &received,
                     &overlapped) != FALSE;
  if (!ok) {
    const DWORD error = GetLastError();
    if (error == ERROR_MORE_DATA) {
      // A longer request: only its first bytes are taken, the rest goes with the disconnect.
      ok = GetOverlappedResult(pipe.get(), &overlapped, &received, TRUE) != FALSE ||
           GetLastError() == ERROR_MORE_DATA;
      received = static_cast<DWORD>(buffer.size());
    } else if (error == ERROR_IO_PENDING) {
      ok = Finish(pipe.get(), &overlapped, &received, INFINITE) ||
           GetLastError() == ERROR_MORE_DATA;
    }
  }
  if (ok) {
    const size_t reply_length = handler_(buffer.data(), received);
    DWORD written = 0;
    ResetEvent(io_event.get());
    if (!WriteFile(pipe.get(), buffer.data(), static_cast<DWORD>(reply_length), &written,
                   &overlapped) &&
        GetLastError() == ERROR_IO_PENDING) {
      Finish(pipe.get(), &overlapped, &written, kDrainTimeoutMs);
    }
    // Let the client take the reply before the instance is disconnected: it closes its end
    // once it has read it. Unlike a flush, this wait is bounded and ends with the stop.
    uint8_t rest[64];
    for (;;) {
      ResetEvent(io_event.get());
      DWORD drained = 0;
      if (ReadFile(pipe.get(), rest, sizeof(rest), &drained, &overlapped)) continue;
      const DWORD error = GetLastError();
      if (error == ERROR_MORE_DATA) continue;
      if (error != ERROR_IO_PENDING) break;  // the client has gone
      if (!Finish(pipe.get(), &overlapped, &drained, kDrainTimeoutMs) &&
          GetLastError() != ERROR_MORE_DATA) {
        break;
      }
    }
  }
  DisconnectNamedPipe(pipe.get());
  self->done = true;
}

}  // namespace halvaro

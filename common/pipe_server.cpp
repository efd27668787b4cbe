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
// How long a connection thread waits for its next client before it ends.
constexpr DWORD kConnectionIdleMs = 10000;

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

// Whether some instance of the pipe exists already, listening or busy.
bool PipeNameIsHeld(const std::wstring& name) {
  if (WaitNamedPipeW(name.c_str(), NMPWAIT_NOWAIT)) return true;
  return GetLastError() != ERROR_FILE_NOT_FOUND;
}

}  // namespace

bool PipeServer::Start(Options options, Handler handler) {
  if (listener_.Running()) return false;
  options_ = std::move(options);
  handler_ = std::move(handler);
  handed_.reset(CreateSemaphoreW(nullptr, 0, static_cast<LONG>(kPipeMostConnections), nullptr));
  if (!handed_) return false;
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
  if (connections_ended) {
    std::lock_guard<std::mutex> guard(hand_lock_);
    handed_pipes_.clear();  // instances handed over as the stop came: closed unserved
  }
  return listener_ended && connections_ended;
}

void PipeServer::Listen(HANDLE stop_event) {
  WorldAccessAttributes security(options_.access_mask, WorldAccessAttributes::Network::kDenied);
  UniqueHandle connected_event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  int failures = 0;
  // Until the first instance exists, the name must be free: a name that another program
  // already holds is not served beside it (its instances would get some of our clients).
  DWORD first_instance = FILE_FLAG_FIRST_PIPE_INSTANCE;
  while (WaitForSingleObject(stop_event, 0) == WAIT_TIMEOUT) {
    // The flag alone is not honoured everywhere (wine creates the instance anyway): look
    // first as well.
    UniqueHandle pipe;
    if (!first_instance || !PipeNameIsHeld(options_.name)) {
      pipe.reset(CreateNamedPipeW(
          options_.name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | first_instance,
          PIPE_TYPE_MESSAGE | PIPE_READMODE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
          kBufferSize, kBufferSize, kDefaultTimeoutMs, security.get()));
    }
    if (!pipe) {
      if (++failures >= options_.creation_failures_allowed) break;
      WaitForSingleObject(stop_event, kCreationRetryMs);
      continue;
    }
    failures = 0;
    first_instance = 0;

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

    Dispatch(std::move(pipe));
  }
}

void PipeServer::Dispatch(UniqueHandle pipe) {
  std::lock_guard<std::mutex> guard(hand_lock_);
  if (idle_connections_ == 0) {
    // A new thread, counted idle until it takes this instance. When none can start (all
    // are busy, or the server is stopping) the instance closes here.
    if (!connections_.Start([this](HANDLE stop_event) { ServeConnections(stop_event); })) return;
    ++idle_connections_;
  }
  --idle_connections_;
  handed_pipes_.push_back(std::move(pipe));
  ReleaseSemaphore(handed_.get(), 1, nullptr);
}

void PipeServer::ServeConnections(HANDLE stop_event) {
  // One event for every I/O of every connection this thread serves.
  UniqueHandle io_event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  const HANDLE waits[] = {stop_event, handed_.get()};
  for (;;) {
    const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, kConnectionIdleMs);
    if (woke == WAIT_TIMEOUT) {
      std::lock_guard<std::mutex> guard(hand_lock_);
      // An instance handed over just now is this thread's to serve: wait for its signal.
      if (!handed_pipes_.empty() || idle_connections_ == 0) continue;
      --idle_connections_;
      return;
    }
    if (woke != WAIT_OBJECT_0 + 1) return;  // stopping, or the wait failed
    UniqueHandle pipe;
    {
      std::lock_guard<std::mutex> guard(hand_lock_);
      if (handed_pipes_.empty()) continue;
      pipe = std::move(handed_pipes_.front());
      handed_pipes_.pop_front();
    }
    if (io_event) Serve(pipe.get(), stop_event, io_event.get());
    std::lock_guard<std::mutex> guard(hand_lock_);
    ++idle_connections_;
  }
}

PipeConnection::PipeConnection(HANDLE pipe, HANDLE stop_event, HANDLE io_event)
    : pipe_(pipe), stop_event_(stop_event), io_event_(io_event) {}

bool PipeConnection::Finish(OVERLAPPED* overlapped, DWORD* transferred, DWORD timeout_ms) {
  return halvaro::Finish(pipe_, overlapped, transferred, timeout_ms, stop_event_);
}

bool PipeConnection::Read(uint8_t* buffer, size_t size, DWORD timeout_ms, size_t* received) {
  *received = 0;
  if (!io_event_) return false;
  OVERLAPPED overlapped = {};
  overlapped.hEvent = io_event_;
  ResetEvent(io_event_);
  DWORD read = 0;
  bool ok = ReadFile(pipe_, buffer, static_cast<DWORD>(size), &read, &overlapped) != FALSE;
  if (!ok) {
    const DWORD error = GetLastError();
    if (error == ERROR_MORE_DATA) {
      // A longer message: its first bytes are here, the rest waits for the next read.
      GetOverlappedResult(pipe_, &overlapped, &read, TRUE);
      read = static_cast<DWORD>(size);
      ok = true;
    } else if (error == ERROR_IO_PENDING) {
      ok = Finish(&overlapped, &read, timeout_ms);
      if (!ok && GetLastError() == ERROR_MORE_DATA) {
        read = static_cast<DWORD>(size);
        ok = true;
      }
    }
  }
  *received = read;
  return ok;
}

bool PipeConnection::Write(const uint8_t* data, size_t size) {
  if (!io_event_) return false;
  OVERLAPPED overlapped = {};
  overlapped.hEvent = io_event_;
  ResetEvent(io_event_);
  DWORD written = 0;
  if (WriteFile(pipe_, data, static_cast<DWORD>(size), &written, &overlapped)) return true;
  if (GetLastError() != ERROR_IO_PENDING) return false;
  return Finish(&overlapped, &written, kDrainTimeoutMs);
}

bool PipeConnection::Pause(DWORD timeout_ms) {
  return WaitForSingleObject(stop_event_, timeout_ms) != WAIT_OBJECT_0;
}

PipeServer::Handler PipeServer::RequestReply(size_t request_capacity, RequestHandler handler) {
  return [request_capacity, handler](PipeConnection& connection) {
    std::vector<uint8_t> buffer(request_capacity, 0);  // cleared before the read
    size_t received = 0;
    if (!connection.Read(buffer.data(), buffer.size(), kPipeRequestWaitMs, &received)) return;
    const size_t reply_length = handler(buffer.data(), received);
    connection.Write(buffer.data(), reply_length);
  };
}

void PipeServer::Serve(HANDLE pipe, HANDLE stop_event, HANDLE io_event) {
  {
    PipeConnection connection(pipe, stop_event, io_event);
    handler_(connection);
  }
  // Let the client take the reply before the instance is disconnected: it closes its end
  // once it has read it. Unlike a flush, this wait is bounded and ends with the stop.
  OVERLAPPED overlapped = {};
  overlapped.hEvent = io_event;
  uint8_t rest[64];
  // One deadline for the whole drain: a client that keeps writing does not keep the thread.
  const ULONGLONG deadline = GetTickCount64() + kDrainTimeoutMs;
  for (;;) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) break;
    ResetEvent(io_event);
    DWORD drained = 0;
    if (ReadFile(pipe, rest, sizeof(rest), &drained, &overlapped)) continue;
    const DWORD error = GetLastError();
    if (error == ERROR_MORE_DATA) continue;
    if (error != ERROR_IO_PENDING) break;  // the client has gone
    if (!Finish(pipe, &overlapped, &drained, static_cast<DWORD>(deadline - now), stop_event) &&
        GetLastError() != ERROR_MORE_DATA) {
      break;
    }
  }
  DisconnectNamedPipe(pipe);
}

}  // namespace halvaro

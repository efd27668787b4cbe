// A named-pipe server that answers one request per connection: one instance waits for a
// client at a time, and each connected instance is served on a connection thread, at most
// kPipeMostConnections at once. A connection thread that has served its client waits a while
// for the next one, so that a client making request after request does not pay for a new
// thread each time.
//
// Threading: Start and Stop are called from one thread (the service's start sequence and
// stop path). The listener and the connections are worker threads (worker_thread.h); the
// handler runs on the connection threads, several at once. All waits are overlapped and also
// wait for the thread's stop event, so Stop cancels every blocked connect, read and drain and
// waits for every thread before it returns.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <deque>
#include <mutex>
#include <string>

#include "common/unique_resource.h"
#include "common/worker_thread.h"

namespace halvaro {

// A client has this long after connecting to send its request (each read of it); one that
// stays silent is disconnected, so that no connection thread waits for ever.
constexpr DWORD kPipeRequestWaitMs = 5000;
// Connections served at once; a client that comes while all are busy is disconnected at once.
constexpr size_t kPipeMostConnections = 16;

// One connected client, as its handler sees it. Every wait also ends with the server's stop.
class PipeConnection {
 public:
  // `io_event` is a manual-reset event of the serving thread, reused for each of its I/Os.
  PipeConnection(HANDLE pipe, HANDLE stop_event, HANDLE io_event);
  PipeConnection(const PipeConnection&) = delete;
  PipeConnection& operator=(const PipeConnection&) = delete;

  // Reads the next message, or the rest of one partly read, into `buffer`. True with the
  // bytes in *received when something was read (a longer message leaves its rest for the
  // next read); false when the read failed, the time ran out or the server is stopping.
  bool Read(uint8_t* buffer, size_t size, DWORD timeout_ms, size_t* received);
  // Writes one message; false when it could not be written in time.
  bool Write(const uint8_t* data, size_t size);
  // Waits up to `timeout_ms` unless the server stops first; false when it stops.
  bool Pause(DWORD timeout_ms);

 private:
  bool Finish(OVERLAPPED* overlapped, DWORD* transferred, DWORD timeout_ms);

  HANDLE pipe_;
  HANDLE stop_event_;
  HANDLE io_event_;
};

class PipeServer {
 public:
  // Serves one connection; the server disconnects it afterwards.
  using Handler = std::function<void(PipeConnection& connection)>;
  // A one-request, one-reply protocol: turns the request (the first `received` bytes of a
  // zero-cleared buffer) into the reply, in the same buffer; returns the reply length.
  using RequestHandler = std::function<size_t(uint8_t* buffer, size_t received)>;
  static Handler RequestReply(size_t request_capacity, RequestHandler handler);

  struct Options {
    std::wstring name;        // "\\.\pipe\..."
    DWORD access_mask = 0;    // granted to Everyone on the pipe
    int creation_failures_allowed = 3;  // in a row, 500 ms apart; then the listener ends
  };

  PipeServer() = default;
  ~PipeServer() { Stop(INFINITE); }
  PipeServer(const PipeServer&) = delete;
  PipeServer& operator=(const PipeServer&) = delete;

  // Starts the listener thread. Returns false when it cannot be started.
  bool Start(Options options, Handler handler);

  // Cancels all blocked I/O and waits for the listener and every connection thread, all
  // within `timeout_ms`. True when none is left running; a server is not started again.
  bool Stop(DWORD timeout_ms);

 private:
  void Listen(HANDLE stop_event);
  // Hands a connected instance to an idle connection thread, or to a new one; closes it when
  // all kPipeMostConnections are busy.
  void Dispatch(UniqueHandle pipe);
  // The body of a connection thread: serves handed instances until it has been idle too long.
  void ServeConnections(HANDLE stop_event);
  void Serve(HANDLE pipe, HANDLE stop_event, HANDLE io_event);

  // Written by Start before the listener starts, then only read.
  Options options_;
  Handler handler_;
  WorkerThread listener_;
  WorkerGroup connections_{kPipeMostConnections};

  // Signalled once per handed instance; created by Start, then only waited on and released.
  UniqueHandle handed_;
  std::mutex hand_lock_;  // taken before the connection group's own lock, never after
  std::deque<UniqueHandle> handed_pipes_;  // guarded by hand_lock_
  size_t idle_connections_ = 0;            // guarded by hand_lock_
};

}  // namespace halvaro

// A named-pipe server that answers one request per connection: one instance waits for a
// client at a time, and each connected instance is served on a thread of its own.
//
// Threading: Start and Stop are called from one thread (the service's start sequence and
// stop path). The handler runs on the connection threads, several at once. All waits are
// overlapped and also wait for the stop event, so Stop cancels every blocked connect, read
// and drain and joins every thread before it returns.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "common/unique_resource.h"

namespace halvaro {

class PipeServer {
 public:
  // Turns the request (the first `received` bytes of a zero-cleared buffer of
  // `request_capacity` bytes) into the reply, in the same buffer; returns the reply length.
  using Handler = std::function<size_t(uint8_t* buffer, size_t received)>;

  struct Options {
    std::wstring name;        // "\\.\pipe\..."
    DWORD access_mask = 0;    // granted to Everyone on the pipe
    size_t request_capacity = 32;
    int creation_failures_allowed = 3;  // in a row, 500 ms apart; then the listener ends
  };

  PipeServer() = default;
  ~PipeServer() { Stop(); }
  PipeServer(const PipeServer&) = delete;
  PipeServer& operator=(const PipeServer&) = delete;

  // Starts the listener thread. Returns false when it cannot be started.
  bool Start(Options options, Handler handler);

  // Cancels all blocked I/O, joins the listener and every connection thread.
  void Stop();

 private:
  struct Connection {
    std::thread thread;
    std::atomic<bool> done{false};
  };

  void Listen();
  void Serve(UniqueHandle pipe, Connection* self);
  // Waits for an overlapped operation that returned ERROR_IO_PENDING; false when stopped
  // (the operation is then cancelled) or when it failed.
  bool Finish(HANDLE pipe, OVERLAPPED* overlapped, DWORD* transferred, DWORD timeout_ms);
  void ReapFinished();  // caller holds connections_lock_

  Options options_;
  Handler handler_;
  UniqueHandle stop_event_;  // manual reset; set once by Stop
  std::thread listener_;
  std::mutex connections_lock_;
  std::list<std::unique_ptr<Connection>> connections_;  // guarded by connections_lock_
};

}  // namespace halvaro

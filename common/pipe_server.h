// A named-pipe server that answers one request per connection.
//
// A connection goes through three stages, each bounded:
// 1. Reception. One instance waits for a client at a time; the next one is made before a
//    connected one is handed on or closed, so the name never lapses while the server runs.
//    When a connection thread is idle, it waits for that client itself and serves it
//    without a hand-over, while the listener makes the next instance; otherwise the
//    listener waits for it.
//    A name that another program holds is not served beside it: the server tries again
//    after a pause that grows to kPipeMostCreationPauseMs, until the name is free. A
//    connected client has
//    kPipeRequestWaitMs to send the head of its request. An idle connection thread, when
//    there is one, waits for it kPipeQuickRequestWaitMs at most; otherwise, and after that,
//    the client costs no thread, only a pending read of the listener thread. At most
//    kPipeMostWaiting clients wait so; one more evicts the oldest.
// 2. Service. A client whose request has arrived is handed to a connection thread, at most
//    kPipeMostConnections at once; more wait in a short queue (the oldest is dropped when it
//    overflows). A thread that has served its client waits a while for the next one, so that
//    request after request does not pay for a new thread each time.
// 3. Reply. The instance is disconnected as soon as the client has read the reply (a flush);
//    a client that has not read it after kPipeReplyWaitMs (the listener looks once a
//    second), or while others wait for a thread, or when the server stops, is cut off by the
//    listener thread. What a client writes after its request is discarded with the
//    disconnect.
//
// Threading: Start and Stop are called from one thread (the service's start sequence and
// stop path). The listener and the connections are worker threads (worker_thread.h); the
// handler runs on the connection threads, several at once. Every wait is bounded or ends
// with the stop, so Stop ends every connection in each stage and waits for every thread
// before it returns. No exception leaves the listener, a completion or a connection thread.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/health_watch.h"
#include "common/locks.h"
#include "common/tick_deadline.h"
#include "common/unique_resource.h"
#include "common/worker_thread.h"
#include "common/world_access.h"

namespace halvaro {

// A client has this long after connecting to send its request; a silent one is disconnected.
constexpr DWORD kPipeRequestWaitMs = 5000;
// A client handed straight to an idle connection thread keeps it this long at most for its
// request; a slower one waits for it without a thread.
constexpr DWORD kPipeQuickRequestWaitMs = 100;
// A client has this long to read its reply before the instance is disconnected.
constexpr DWORD kPipeReplyWaitMs = 2000;
// Requests served at once, each on a connection thread.
constexpr size_t kPipeMostConnections = 16;
// Connected clients whose request has not arrived yet; one more evicts the oldest.
constexpr size_t kPipeMostWaiting = 1024;
// The longest pause between two attempts to make an instance (the name held by another
// program, or the system refusing); the first pause is 500 ms, then each doubles.
constexpr DWORD kPipeMostCreationPauseMs = 30000;
// Requests that have arrived while every connection thread is busy; one more drops the oldest.
constexpr size_t kPipeMostQueued = 64;

// One connected client, as its handler sees it. Every wait also ends with the server's stop.
class PipeConnection {
 public:
  // `head` holds the first bytes of the request, read at reception; `io_event` is a
  // manual-reset event of the serving thread, reused for each of its I/Os.
  PipeConnection(HANDLE pipe, std::vector<uint8_t> head, HANDLE stop_event, HANDLE io_event);
  PipeConnection(const PipeConnection&) = delete;
  PipeConnection& operator=(const PipeConnection&) = delete;

  // Reads what the client sent: the first call returns the head read at reception (as one
  // read of the pipe would have), as far as `size` goes; later calls return the rest of the
  // head, and once it is used up read further bytes that arrive within `timeout_ms`. True with the bytes in *received when something was read; false when the
  // read failed, the time ran out or the server is stopping.
  bool Read(uint8_t* buffer, size_t size, DWORD timeout_ms, size_t* received);
  // Writes one message; false when it could not be written in time.
  bool Write(const uint8_t* data, size_t size);

 private:
  bool Finish(OVERLAPPED* overlapped, DWORD* transferred, DWORD timeout_ms);

  HANDLE pipe_;
  std::vector<uint8_t> head_;
  size_t head_taken_ = 0;  // bytes of head_ returned so far
  bool head_begun_ = false;
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

  // Called on the listener thread once per change: true when an attempt finds the name held
  // by another program, false when the server holds it again after that. It must return
  // soon and not throw.
  using NameWatcher = std::function<void(bool held_elsewhere)>;

  struct Options {
    std::wstring name;        // "\\.\pipe\..."
    DWORD access_mask = 0;    // granted to Everyone on the pipe
    size_t head_size = 32;    // bytes of a request read at reception (the handler's first read)
    NameWatcher name_watcher;  // may be empty
  };

  PipeServer() = default;
  ~PipeServer();
  PipeServer(const PipeServer&) = delete;
  PipeServer& operator=(const PipeServer&) = delete;

  // Starts the listener thread. Returns false when it cannot be started.
  bool Start(Options options, Handler handler);

  // Ends every connection and waits for all threads, within `timeout_ms`. True when none is
  // left running; a server is not started again.
  bool Stop(DWORD timeout_ms);

 private:
  // A client whose request has not arrived; the listener thread's own.
  struct Reception {
    OVERLAPPED overlapped = {};  // hEvent, which a ReadFileEx leaves alone, points back here
    PipeServer* server = nullptr;
    UniqueHandle pipe;
    std::vector<uint8_t> head;
    TickDeadline deadline;
    bool cut = false;  // disconnected; its completion is still to come
    std::list<std::unique_ptr<Reception>>::iterator position;
  };
  // A connection thread waiting for its client to read the reply.
  struct ReplyWatch {
    HANDLE pipe = nullptr;  // valid while listed: its thread closes it only afterwards
    TickDeadline deadline;
    bool cut = false;
    std::list<ReplyWatch*>::iterator position;
  };
  // A client for a connection thread: its request has arrived, or (when handed straight to
  // an idle thread) the thread is to read it.
  struct Arrived {
    UniqueHandle pipe;
    std::vector<uint8_t> head;
    bool head_read = false;
    DWORD connected_at = 0;  // tick of the connection, when the head is not read yet
    // An instance for an idle connection thread to listen on, not connected yet.
    bool listening = false;
    // Listened on by its connection thread; made_at counts the instances made until then.
    bool watched = false;
    uint32_t made_at = 0;
  };
  enum class HeadRead { kArrived, kSilent, kFailed };

  // The listener thread: makes the waiting instance, reads the head of each request, hands
  // arrived requests to the connection threads, and disconnects the clients whose time is
  // over. The completions of its reads run on it, in its alertable waits.
  void Listen(HANDLE stop_event);
  // *held_elsewhere says whether a failure was another program's holding the name.
  UniqueHandle CreateInstance(WorldAccessAttributes& security, bool* first_instance,
                              bool* held_elsewhere);
  // Tells the name watcher of a change in whether the name is ours.
  void NoteName(bool ours);
  // An instance that has listened: its client connected, or came and went.
  struct Previous {
    UniqueHandle pipe;
    bool connected = false;
  };
  // Hands the client of `previous` on (Receive), or closes the instance; empties it.
  void LetGo(Previous& previous);
  // Hands a connected client to an idle connection thread, or begins its reception.
  void Receive(UniqueHandle pipe);
  void BeginReception(UniqueHandle pipe, DWORD connected_at);
  static void CALLBACK ReceptionDone(DWORD error, DWORD transferred, OVERLAPPED* overlapped);
  void EndReception(Reception* reception, DWORD error, DWORD transferred);
  void Hand(Arrived arrived);
  // Disconnects the waiting clients and the unread replies whose time is over; returns the
  // time until the next deadline.
  DWORD CutOverdue();
  // Disconnects a waiting client (on the listener thread), or the client of a reply watch
  // (with lock_ held); its completion or flush then ends.
  void Cut(Reception& reception);
  void Cut(ReplyWatch& watch);

  // The body of a connection thread: serves arrived requests until it has been idle too long.
  void ServeConnections(HANDLE stop_event);
  void Serve(Arrived arrived, HANDLE stop_event, HANDLE io_event);
  // The head of a request handed straight to a connection thread, within
  // kPipeQuickRequestWaitMs: arrived, silent so far (the reception takes the client back),
  // or failed.
  static HeadRead ReadHead(HANDLE pipe, uint8_t* head, DWORD size, HANDLE stop_event,
                           HANDLE io_event, DWORD* got);
  // Flushes the reply, cut off by the listener thread after its time.
  void AwaitReplyRead(HANDLE pipe);
  // Gives a new instance to an idle connection thread to listen on; false (the instance
  // left in `pipe`) when none is free.
  bool OfferToWatch(UniqueHandle& pipe);
  // On a connection thread: listens on `pipe` and serves its client. False when no client
  // came for kConnectionIdle and the instance went back to the listener (or, stopping, was
  // closed).
  bool Watch(UniqueHandle pipe, HANDLE stop_event, HANDLE io_event);
  void GiveBack(UniqueHandle pipe);
  // Ends a connection thread's watch once its client has connected: the listener makes the
  // next instance. *made_at counts the instances made until then.
  void EndWatch(uint32_t* made_at);
  // Waits, within a bound, until the listener has made an instance after the first
  // `made_at`, so that closing one this thread listened on does not let the name lapse.
  void AwaitNextInstance(uint32_t made_at, HANDLE stop_event);

  // Written by Start before the threads start, then only read.
  Options options_;
  Handler handler_;
  UniqueHandle wake_;  // auto-reset; wakes the listener for a client handed back to it

  WorkerThread listener_;
  WorkerGroup connections_{kPipeMostConnections};

  // Owned by the listener thread: only it (and the completions it runs) touch it.
  HealthWatch name_health_;
  std::list<std::unique_ptr<Reception>> waiting_;  // oldest first
  size_t waiting_cut_ = 0;  // of waiting_, disconnected and awaiting their completion
  bool connection_threads_ = false;  // some may be running (false once the last has ended)

  Lock lock_{LockRank::kLeaf};  // a leaf: nothing but a disconnect is called under it
  UniqueHandle handed_;  // semaphore: released once for each arrived request
  bool stopping_ = false;                 // guarded by lock_
  std::deque<Arrived> arrived_;           // guarded by lock_; waiting for a thread
  std::deque<Arrived> returned_;          // guarded by lock_; silent, back to the reception
  size_t idle_connections_ = 0;           // guarded by lock_; threads waiting for handed_
  // A connection thread holds the instance that listens (from the offer until its client
  // connects, or until the listener has taken it back); the listener makes none meanwhile.
  bool watching_ = false;                 // guarded by lock_
  std::atomic<uint32_t> instances_made_{0};  // written by the listener
  std::list<ReplyWatch*> replies_;        // guarded by lock_; oldest first
};

}  // namespace halvaro

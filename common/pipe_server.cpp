#include "common/pipe_server.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <utility>

#include "common/world_access.h"

namespace halvaro {

namespace {

constexpr DWORD kBufferSize = 4096;
constexpr DWORD kDefaultTimeoutMs = 150;
constexpr DWORD kFirstCreationPauseMs = 500;
// How long a connection thread waits for its next client before it ends.
constexpr DWORD kConnectionIdleMs = 10000;
// How often the listener looks for overdue replies and ended threads while threads exist.
constexpr DWORD kHousekeepingMs = 1000;
// While stopping, the listener looks again this often for its last completions.
constexpr DWORD kStoppingPollMs = 100;
// The longest a connection thread keeps an instance that it listened on open, after its
// client, for the listener to make the next one.
constexpr DWORD kNextInstanceWaitMs = 1000;

// Waits for an overlapped operation of this thread that returned ERROR_IO_PENDING; false
// when the stop event came first or the time ran out (the operation is then cancelled and
// over), or when it failed.
bool Finish(HANDLE pipe, OVERLAPPED* overlapped, DWORD* transferred, DWORD timeout_ms,
            HANDLE stop_event) {
  HANDLE waits[] = {overlapped->hEvent, stop_event};
  const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, timeout_ms);
  if (woke != WAIT_OBJECT_0) {
    CancelIo(pipe);  // this thread's I/O on the pipe: just this operation
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

PipeServer::~PipeServer() { Stop(INFINITE); }

bool PipeServer::Start(Options options, Handler handler) {
  if (listener_.Running()) return false;
  options_ = std::move(options);
  options_.head_size = std::max<size_t>(options_.head_size, 1);
  handler_ = std::move(handler);
  wake_.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  handed_.reset(CreateSemaphoreW(nullptr, 0, LONG_MAX, nullptr));
  if (!wake_ || !handed_) return false;
  return listener_.Start([this](HANDLE stop_event) { Listen(stop_event); });
}

bool PipeServer::Stop(DWORD timeout_ms) {
  const TickDeadline deadline = TickDeadline::After(timeout_ms);
  const auto left = [&deadline] { return deadline.Remaining(); };
  {
    std::lock_guard<Lock> guard(lock_);
    stopping_ = true;
    for (ReplyWatch* watch : replies_) Cut(*watch);
    arrived_.clear();  // closed unserved
    returned_.clear();
  }
  // The listener ends once the reads it cut have completed; no client is taken after it.
  const bool listener_ended = listener_.Stop(timeout_ms);
  const bool connections_ended = connections_.StopAll(left());
  return listener_ended && connections_ended;
}

UniqueHandle PipeServer::CreateInstance(WorldAccessAttributes& security, bool* first_instance,
                                        bool* held_elsewhere) {
  // Until the first instance exists, the name must be free: a name that another program
  // already holds is not served beside it (its instances would get some of our clients).
  // The flag alone is not honoured everywhere (wine creates the instance anyway): look
  // first as well.
  *held_elsewhere = *first_instance && PipeNameIsHeld(options_.name);
  if (*held_elsewhere) return UniqueHandle();
  UniqueHandle pipe(CreateNamedPipeW(
      options_.name.c_str(),
      PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (*first_instance ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
      PIPE_TYPE_MESSAGE | PIPE_READMODE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES, kBufferSize,
      kBufferSize, kDefaultTimeoutMs, security.get()));
  // The flag's refusal: an instance of the name came first.
  *held_elsewhere = !pipe && *first_instance && GetLastError() == ERROR_ACCESS_DENIED;
  if (pipe) *first_instance = false;
  return pipe;
}

void PipeServer::NoteName(bool ours) {
  const HealthChange change = name_health_.Note(ours);
  if (change == HealthChange::kNone || !options_.name_watcher) return;
  options_.name_watcher(change != HealthChange::kRecovered);
}

void PipeServer::LetGo(Previous& previous) {
  if (previous.connected) Receive(std::move(previous.pipe));
  previous.pipe.reset();
  previous.connected = false;
}

void PipeServer::Listen(HANDLE stop_event) {
  WorldAccessAttributes security(options_.access_mask, WorldAccessAttributes::Network::kDenied);
  UniqueHandle connected_event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!connected_event) return;
  bool first_instance = true;
  DWORD creation_pause = kFirstCreationPauseMs;
  UniqueHandle listening;  // the one instance waiting for a client
  // The instance that listened last, kept until the next one exists: then its client is
  // handed on, or (the client gone) it is closed. So some instance always holds the name.
  Previous previous;
  OVERLAPPED connect = {};
  // Makes `pipe` listen on this thread.
  const auto listen = [&](UniqueHandle pipe) {
    connect = {};
    connect.hEvent = connected_event.get();
    ResetEvent(connected_event.get());
    if (ConnectNamedPipe(pipe.get(), &connect) || GetLastError() == ERROR_PIPE_CONNECTED) {
      previous = Previous{std::move(pipe), true};  // the client came before the wait
    } else if (GetLastError() == ERROR_IO_PENDING) {
      listening = std::move(pipe);
    } else {
      previous = Previous{std::move(pipe), false};  // the client came and went
    }
  };
  for (;;) {
    std::deque<Arrived> returned;
    bool watched;
    {
      std::lock_guard<Lock> guard(lock_);
      returned.swap(returned_);
      // An instance given back by its watcher is listened on here before any other is made.
      for (const Arrived& back : returned) watching_ = watching_ && !back.listening;
      watched = watching_;
    }
    for (Arrived& back : returned) {
      try {
        if (back.listening) {
          Previous last = std::exchange(previous, Previous{});
          listen(std::move(back.pipe));
          LetGo(last);
        } else {
          BeginReception(std::move(back.pipe), back.connected_at);
        }
      } catch (...) {
        // Out of memory: this client is let go.
      }
    }
    while (!listening && !watched && WaitForSingleObject(stop_event, 0) == WAIT_TIMEOUT) {
      bool held_elsewhere = false;
      UniqueHandle pipe = CreateInstance(security, &first_instance, &held_elsewhere);
      if (held_elsewhere) NoteName(false);
      if (!pipe) {
        // A client does not wait for the retry. An instance without one keeps the name ours
        // meanwhile; once none is kept, the name is looked at again before it is taken.
        if (previous.connected || !previous.pipe) {
          LetGo(previous);
          first_instance = true;
        }
        // Alertable, so that the clients already connected are still received meanwhile.
        if (WaitForSingleObjectEx(stop_event, creation_pause, TRUE) == WAIT_OBJECT_0) break;
        creation_pause = std::min(creation_pause * 2, kPipeMostCreationPauseMs);
        continue;
      }
      instances_made_.fetch_add(1);
      NoteName(true);
      creation_pause = kFirstCreationPauseMs;
      // The new instance holds the name now. An idle connection thread waits for its client
      // and serves it without a hand-over; otherwise it listens here. Either way it listens
      // before the last one's client is handed on.
      Previous last = std::exchange(previous, Previous{});
      watched = OfferToWatch(pipe);
      if (!watched) listen(std::move(pipe));
      LetGo(last);
    }
    HANDLE waits[] = {stop_event, wake_.get(), connected_event.get()};
    const DWORD count = listening ? 3 : 2;
    // Alertable: the completions of the reads run here, on this thread.
    DWORD wait = CutOverdue();
    // While connection threads exist, look now and then for unread replies that are overdue
    // (they are not announced, to keep the listener out of every request) and for threads
    // that have ended, so that their handles go with them.
    if (connection_threads_) wait = std::min(wait, kHousekeepingMs);
    const DWORD woke = WaitForMultipleObjectsEx(count, waits, FALSE, wait, TRUE);
    if (woke == WAIT_TIMEOUT) connection_threads_ = connections_.Running() != 0;
    if (woke == WAIT_OBJECT_0) break;
    if (woke == WAIT_OBJECT_0 + 2) {
      DWORD unused = 0;
      const bool connected = GetOverlappedResult(listening.get(), &connect, &unused, FALSE);
      previous = Previous{std::move(listening), connected};  // let go once the next listens
    }
  }

  // The stop: the connect and every read still pending are cut, and their completions run
  // before the thread ends (they use this object).
  if (listening) {
    DWORD unused = 0;
    CancelIo(listening.get());
    GetOverlappedResult(listening.get(), &connect, &unused, TRUE);
  }
  for (auto& reception : waiting_) Cut(*reception);
  while (!waiting_.empty()) SleepEx(kStoppingPollMs, TRUE);
}

void PipeServer::Receive(UniqueHandle pipe) {
  try {
    {
      // A connection thread with nothing to do reads the request itself, as most clients
      // send it at once; one that stays silent comes back here before long.
      std::lock_guard<Lock> guard(lock_);
      if (!stopping_ && idle_connections_ > arrived_.size()) {
        arrived_.push_back(Arrived{std::move(pipe), {}, false, GetTickCount()});
        ReleaseSemaphore(handed_.get(), 1, nullptr);
        return;
      }
    }
    BeginReception(std::move(pipe), GetTickCount());
  } catch (...) {
    // Out of memory: this client is let go (its instance closes), the others are not.
  }
}

void PipeServer::BeginReception(UniqueHandle pipe, DWORD connected_at) {
  // The oldest silent client makes room for the newest.
  if (waiting_.size() - waiting_cut_ >= kPipeMostWaiting) {
    auto oldest = std::find_if(waiting_.begin(), waiting_.end(),
                               [](const std::unique_ptr<Reception>& r) { return !r->cut; });
    if (oldest != waiting_.end()) Cut(**oldest);
  }
  auto reception = std::make_unique<Reception>();
  Reception* r = reception.get();
  r->server = this;
  r->pipe = std::move(pipe);
  r->head.resize(options_.head_size);
  r->deadline = TickDeadline(connected_at, kPipeRequestWaitMs);
  r->overlapped.hEvent = r;
  r->position = waiting_.insert(waiting_.end(), std::move(reception));
  if (!ReadFileEx(r->pipe.get(), r->head.data(), static_cast<DWORD>(r->head.size()),
                  &r->overlapped, ReceptionDone)) {
    waiting_.erase(r->position);  // no completion comes: the client has gone already
  }
}

void CALLBACK PipeServer::ReceptionDone(DWORD error, DWORD transferred, OVERLAPPED* overlapped) {
  Reception* reception = static_cast<Reception*>(overlapped->hEvent);
  try {
    reception->server->EndReception(reception, error, transferred);
  } catch (...) {
    // Nothing may unwind through the system's completion frame; the client is let go.
  }
}

void PipeServer::EndReception(Reception* reception, DWORD error, DWORD transferred) {
  const bool cut = reception->cut;
  if (cut) --waiting_cut_;
  Arrived arrived{std::move(reception->pipe), std::move(reception->head), true, 0};
  waiting_.erase(reception->position);
  // A longer request leaves its rest unread, as one read of the head size would.
  const bool got_request = !cut && (error == ERROR_SUCCESS || error == ERROR_MORE_DATA);
  if (!got_request) {
    DisconnectNamedPipe(arrived.pipe.get());
    return;
  }
  arrived.head.resize(std::min<size_t>(transferred, arrived.head.size()));
  Hand(std::move(arrived));
}

void PipeServer::Hand(Arrived arrived) {
  bool needs_thread;
  {
    std::lock_guard<Lock> guard(lock_);
    if (stopping_) return;
    arrived_.push_back(std::move(arrived));
    if (arrived_.size() > kPipeMostQueued) {  // the oldest request is closed unserved
      arrived_.erase(std::find_if(arrived_.begin(), arrived_.end(),
                                  [](const Arrived& a) { return !a.listening; }));
    }
    needs_thread = arrived_.size() > idle_connections_;
  }
  ReleaseSemaphore(handed_.get(), 1, nullptr);
  if (!needs_thread) return;
  if (connections_.Start([this](HANDLE stop_event) { ServeConnections(stop_event); })) {
    connection_threads_ = true;
    return;
  }
  // Every connection thread is busy. A client that has not read its reply yet gives up its
  // thread to the one that waits.
  std::lock_guard<Lock> guard(lock_);
  auto oldest = std::find_if(replies_.begin(), replies_.end(),
                             [](const ReplyWatch* w) { return !w->cut; });
  if (oldest != replies_.end()) Cut(**oldest);
}

void PipeServer::Cut(Reception& reception) {
  if (reception.cut) return;
  CancelIo(reception.pipe.get());  // the read was issued by this thread
  DisconnectNamedPipe(reception.pipe.get());
  reception.cut = true;
  ++waiting_cut_;
}

void PipeServer::Cut(ReplyWatch& watch) {
  if (watch.cut) return;
  DisconnectNamedPipe(watch.pipe);  // ends the flush on the watch's thread
  watch.cut = true;
}

DWORD PipeServer::CutOverdue() {
  const DWORD now = GetTickCount();
  DWORD wait = INFINITE;
  // Both lists are in the order of their deadlines.
  for (auto& reception : waiting_) {
    if (reception->cut) continue;
    if (!reception->deadline.Passed(now)) {
      wait = reception->deadline.Remaining(now);
      break;
    }
    Cut(*reception);
  }
  std::lock_guard<Lock> guard(lock_);
  for (ReplyWatch* watch : replies_) {
    if (watch->cut) continue;
    if (!watch->deadline.Passed(now)) {
      wait = std::min(wait, watch->deadline.Remaining(now));
      break;
    }
    Cut(*watch);
  }
  return wait;
}

void PipeServer::ServeConnections(HANDLE stop_event) {
  // One event for every I/O of every connection this thread serves.
  UniqueHandle io_event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  const HANDLE waits[] = {stop_event, handed_.get()};
  for (;;) {
    {
      std::lock_guard<Lock> guard(lock_);
      ++idle_connections_;
    }
    const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, kConnectionIdleMs);
    Arrived arrived;
    {
      std::lock_guard<Lock> guard(lock_);
      --idle_connections_;
      if (woke == WAIT_OBJECT_0 || stopping_) return;
      if (arrived_.empty()) {
        if (woke == WAIT_OBJECT_0 + 1) continue;  // its request was dropped meanwhile
        return;                                    // idle too long
      }
      arrived = std::move(arrived_.front());
      arrived_.pop_front();
    }
    if (arrived.listening) {
      // Back to the listener after a long wait without a client: this thread is idle.
      if (!io_event) {
        GiveBack(std::move(arrived.pipe));
        return;
      }
      if (!Watch(std::move(arrived.pipe), stop_event, io_event.get())) return;
    } else if (io_event) {
      Serve(std::move(arrived), stop_event, io_event.get());
    }
  }
}

bool PipeServer::OfferToWatch(UniqueHandle& pipe) {
  std::lock_guard<Lock> guard(lock_);
  // Only to a thread that takes it at once: nothing else is queued before it.
  if (stopping_ || watching_ || !arrived_.empty() || idle_connections_ == 0) return false;
  Arrived watch;
  watch.pipe = std::move(pipe);
  watch.listening = true;
  arrived_.push_back(std::move(watch));
  watching_ = true;
  ReleaseSemaphore(handed_.get(), 1, nullptr);
  return true;
}

void PipeServer::GiveBack(UniqueHandle pipe) {
  std::lock_guard<Lock> guard(lock_);
  if (stopping_) return;  // closed here
  try {
    Arrived back;
    back.pipe = std::move(pipe);
    back.listening = true;
    returned_.push_back(std::move(back));
  } catch (...) {
    watching_ = false;  // out of memory: the instance closes and the listener makes another
  }
  SetEvent(wake_.get());
}

bool PipeServer::Watch(UniqueHandle pipe, HANDLE stop_event, HANDLE io_event) {
  OVERLAPPED overlapped = {};
  overlapped.hEvent = io_event;
  ResetEvent(io_event);
  bool connected = ConnectNamedPipe(pipe.get(), &overlapped) != FALSE;
  const DWORD error = connected ? ERROR_SUCCESS : GetLastError();
  if (error == ERROR_PIPE_CONNECTED) {
    connected = true;
  } else if (error == ERROR_IO_PENDING) {
    HANDLE waits[] = {io_event, stop_event};
    const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, kConnectionIdleMs);
    if (woke != WAIT_OBJECT_0) CancelIo(pipe.get());  // this thread's connect
    DWORD unused = 0;
    connected = GetOverlappedResult(pipe.get(), &overlapped, &unused, TRUE) != FALSE;
    if (!connected && GetLastError() == ERROR_OPERATION_ABORTED) {
      GiveBack(std::move(pipe));
      return false;
    }
  }
  Arrived arrived;
  arrived.pipe = std::move(pipe);
  arrived.watched = true;
  arrived.connected_at = GetTickCount();
  EndWatch(&arrived.made_at);
  if (connected) {
    Serve(std::move(arrived), stop_event, io_event);
  } else {
    AwaitNextInstance(arrived.made_at, stop_event);  // the client came and went
  }
  return true;
}

void PipeServer::EndWatch(uint32_t* made_at) {
  {
    std::lock_guard<Lock> guard(lock_);
    watching_ = false;
    *made_at = instances_made_.load();
  }
  SetEvent(wake_.get());  // the listener makes the next instance
}

void PipeServer::AwaitNextInstance(uint32_t made_at, HANDLE stop_event) {
  // Seldom waits at all: the next instance is made while the client is served.
  const TickDeadline deadline = TickDeadline::After(kNextInstanceWaitMs);
  while (instances_made_.load() == made_at && !deadline.Passed()) {
    if (WaitForSingleObject(stop_event, 1) == WAIT_OBJECT_0) return;
  }
}

void PipeServer::Serve(Arrived arrived, HANDLE stop_event, HANDLE io_event) {
  const HANDLE pipe = arrived.pipe.get();
  // An instance this thread listened on keeps the name until the next one exists: this
  // runs before `arrived` closes it, whichever way serving it ends.
  struct NextInstance {
    PipeServer& server;
    const Arrived& arrived;
    HANDLE stop_event;
    ~NextInstance() {
      if (arrived.watched && arrived.pipe) server.AwaitNextInstance(arrived.made_at, stop_event);
    }
  } next_instance{*this, arrived, stop_event};
  if (!arrived.head_read) {
    arrived.head.resize(options_.head_size);
    DWORD got = 0;
    const HeadRead outcome = ReadHead(pipe, arrived.head.data(),
                                      static_cast<DWORD>(arrived.head.size()), stop_event,
                                      io_event, &got);
    if (outcome == HeadRead::kSilent) {
      // The client is in no hurry: it waits for its request without a thread.
      std::lock_guard<Lock> guard(lock_);
      if (!stopping_) {
        returned_.push_back(std::move(arrived));
        SetEvent(wake_.get());
        return;
      }
    }
    if (outcome != HeadRead::kArrived) {
      DisconnectNamedPipe(pipe);
      return;
    }
    arrived.head.resize(got);
  }
  try {
    PipeConnection connection(pipe, std::move(arrived.head), stop_event, io_event);
    handler_(connection);
  } catch (...) {
    // One request that could not be served; the thread and the server go on.
  }
  AwaitReplyRead(pipe);
  DisconnectNamedPipe(pipe);
}  // the instance closes here

PipeServer::HeadRead PipeServer::ReadHead(HANDLE pipe, uint8_t* head, DWORD size,
                                           HANDLE stop_event, HANDLE io_event, DWORD* got) {
  *got = 0;
  OVERLAPPED overlapped = {};
  overlapped.hEvent = io_event;  // the read resets it as it begins
  if (ReadFile(pipe, head, size, got, &overlapped)) return HeadRead::kArrived;
  DWORD error = GetLastError();
  if (error == ERROR_MORE_DATA) {
    *got = size;
    return HeadRead::kArrived;
  }
  if (error != ERROR_IO_PENDING) return HeadRead::kFailed;
  HANDLE waits[] = {io_event, stop_event};
  const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, kPipeQuickRequestWaitMs);
  if (woke != WAIT_OBJECT_0) CancelIo(pipe);
  // Bytes that came just before the cancel count as arrived.
  if (GetOverlappedResult(pipe, &overlapped, got, TRUE)) return HeadRead::kArrived;
  error = GetLastError();
  if (error == ERROR_MORE_DATA) {
    *got = size;
    return HeadRead::kArrived;
  }
  return error == ERROR_OPERATION_ABORTED && woke == WAIT_TIMEOUT ? HeadRead::kSilent
                                                                  : HeadRead::kFailed;
}

void PipeServer::AwaitReplyRead(HANDLE pipe) {
  ReplyWatch watch;
  watch.pipe = pipe;
  watch.deadline = TickDeadline::After(kPipeReplyWaitMs);
  {
    std::lock_guard<Lock> guard(lock_);
    if (stopping_) return;
    watch.position = replies_.insert(replies_.end(), &watch);
  }
  // Returns once the client has read everything written to it, or when the pipe is cut.
  FlushFileBuffers(pipe);
  std::lock_guard<Lock> guard(lock_);
  replies_.erase(watch.position);
}

PipeConnection::PipeConnection(HANDLE pipe, std::vector<uint8_t> head, HANDLE stop_event,
                               HANDLE io_event)
    : pipe_(pipe), head_(std::move(head)), stop_event_(stop_event), io_event_(io_event) {}

bool PipeConnection::Finish(OVERLAPPED* overlapped, DWORD* transferred, DWORD timeout_ms) {
  return halvaro::Finish(pipe_, overlapped, transferred, timeout_ms, stop_event_);
}

bool PipeConnection::Read(uint8_t* buffer, size_t size, DWORD timeout_ms, size_t* received) {
  *received = 0;
  if (!head_begun_ || head_taken_ < head_.size()) {
    head_begun_ = true;
    *received = std::min(size, head_.size() - head_taken_);
    if (*received != 0) std::memcpy(buffer, head_.data() + head_taken_, *received);
    head_taken_ += *received;
    return true;
  }
  if (!io_event_) return false;
  OVERLAPPED overlapped = {};
  overlapped.hEvent = io_event_;  // ReadFile and WriteFile reset it as they begin
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
  DWORD written = 0;
  if (WriteFile(pipe_, data, static_cast<DWORD>(size), &written, &overlapped)) return true;
  if (GetLastError() != ERROR_IO_PENDING) return false;
  return Finish(&overlapped, &written, kPipeReplyWaitMs);
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

}  // namespace halvaro

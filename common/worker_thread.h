// Worker threads that can be told to stop: each has a manual-reset stop event that its body
// waits on alongside its own handles, and Stop signals it and waits a bounded time.
//
// WorkerThread is one such thread; WorkerGroup keeps a set of short-lived ones (one per eject,
// one per pipe connection) so that a stop can end them all and know when none is left.
//
// Threading:
// - WorkerThread is not synchronised: Start, RequestStop, Stop and Running are called by one
//   thread at a time (its owner, or whoever holds the lock that guards the field holding it).
//   The body runs on the new thread and receives the stop event; it must return soon after
//   the event is set.
// - WorkerGroup may be used from any thread; its lock is a leaf (no call out while held).
// - No exception leaves a body: one that escapes is caught on the worker thread and the
//   thread ends as if the body had returned.
// - Destruction stops and waits for the thread without a time limit, so a body never
//   outlives the objects it was given. An owner that must not wait (a stuck body) keeps the
//   object alive instead; the service's record is never destroyed for that reason.
#pragma once

#include <windows.h>

#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <mutex>

#include "common/locks.h"
#include "common/unique_resource.h"

namespace halvaro {

class WorkerThread {
 public:
  using Body = std::function<void(HANDLE stop_event)>;

  WorkerThread() = default;
  ~WorkerThread() { Stop(INFINITE); }
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  // Starts the body on a new thread with a fresh, unset stop event; the body runs only once
  // Start has stored the thread. False when a thread of this object is still running, or
  // when the thread or its event cannot be created (the body then never runs).
  bool Start(Body body);

  // Sets the stop event; does not wait.
  void RequestStop();

  // Sets the stop event and waits up to `timeout_ms` for the thread to end. True when it has
  // ended or was never started; false when it is still running after the wait.
  bool Stop(DWORD timeout_ms);

  // Started and not yet ended.
  bool Running() const;

 private:
  UniqueHandle thread_;
  UniqueHandle stop_event_;
};

class WorkerGroup {
 public:
  explicit WorkerGroup(size_t capacity = static_cast<size_t>(-1)) : capacity_(capacity) {}
  ~WorkerGroup() { StopAll(INFINITE); }
  WorkerGroup(const WorkerGroup&) = delete;
  WorkerGroup& operator=(const WorkerGroup&) = delete;

  // Starts one more worker after forgetting those that have ended. False when the group is
  // closed (StopAll has run), when `capacity` workers are still running, or when the thread
  // cannot be created.
  bool Start(WorkerThread::Body body);

  // Closes the group to new workers, tells every worker to stop and waits for all of them
  // within one deadline. True when none is left running.
  bool StopAll(DWORD timeout_ms);

  // Workers started and not yet ended.
  size_t Running();

 private:
  void ForgetEnded();  // caller holds lock_

  const size_t capacity_;
  Lock lock_{LockRank::kLeaf};
  bool closed_ = false;                                 // guarded by lock_
  std::list<std::unique_ptr<WorkerThread>> workers_;    // guarded by lock_
};

}  // namespace halvaro

// The start and stop sequences that bring every subsystem of the service up and down in a
// fixed order.
//
// Threading: StartSequence runs once on the service main thread before its message loop;
// StopSequence runs once on a thread of its own that the stop control starts, possibly while
// the start sequence is still running (it then waits for it). The stop path ends every worker
// thread that uses an object before it releases that object.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "common/locks.h"
#include "common/worker_thread.h"

namespace halvaro {

struct Lifecycle {
  // Held by StartSequence for its whole run; StopSequence waits for it (bounded).
  TimedLock lock{LockRank::kLifecycle};
  // Set first by the stop path; the start sequence leaves out the steps that remain.
  std::atomic<bool> stopping{false};
  // The thread of the teardown: started by the control handler, waited for by wmain once the
  // dispatcher has returned (which the thread's stopped report lets it do).
  WorkerThread stop_thread;
  // Created on the service main thread before the start sequence, owned there (ServiceMain);
  // this copy is for the timers. Null when creation failed.
  HWND hidden_window = nullptr;
};

uint32_t StartSequence();

// The whole teardown that follows the stop reports, in order; see lifecycle.cpp.
void StopSequence();

}  // namespace halvaro

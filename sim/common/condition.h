// A condition variable over halvaro::Lock, for the simulated machine: the win32 thread
// model's standard library has none. It uses the platform's condition variables (NT 6.0 and
// later), which the simulated parts, built for newer Windows than the shipped programs, may.
//
// Threading: wait with the lock held by a std::unique_lock; notify from any thread.
#pragma once

#include <windows.h>

#include <chrono>
#include <mutex>

#include "common/locks.h"
#include "common/tick_deadline.h"

namespace simcommon {

class Condition {
 public:
  Condition() { InitializeConditionVariable(&condition_); }
  Condition(const Condition&) = delete;
  Condition& operator=(const Condition&) = delete;

  void notify_all() { WakeAllConditionVariable(&condition_); }

  // Waits until `done()` holds or `wait` has passed; the result of the last `done()`.
  template <typename Rep, typename Period, typename Predicate>
  bool wait_for(std::unique_lock<halvaro::Lock>& held,
                const std::chrono::duration<Rep, Period>& wait, Predicate done) {
    const halvaro::TickDeadline deadline = halvaro::TickDeadline::After(static_cast<DWORD>(
        std::chrono::duration_cast<std::chrono::milliseconds>(wait).count()));
    while (!done()) {
      const DWORD left = deadline.Remaining();
      if (left == 0) return done();
      SleepConditionVariableCS(&condition_, held.mutex()->native(), left);
    }
    return true;
  }

 private:
  CONDITION_VARIABLE condition_;
};

}  // namespace simcommon

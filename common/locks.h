// The programs' own locks, built on what every Windows from NT 5.1 has: the toolchain's
// thread runtime is the win32 model, whose standard library has no std::mutex. Both types
// meet the standard's Lockable requirements, so std::lock_guard and std::unique_lock (with
// std::try_to_lock, and with a time-out for TimedLock) work on them.
//
// A lock may be given its place in the process's lock order (common/lock_rank.h). Where
// HALVARO_CHECK_LOCK_ORDER is defined (the debug build) every take of a ranked lock is
// checked against that order (common/lock_order.h); elsewhere the rank is not even stored.
//
// Threading: any thread may take either lock; the thread that took it releases it. Both are
// critical sections and so recursive, which no caller relies on: take each at most once.
#pragma once

#include <windows.h>

#include <chrono>

#include "common/lock_rank.h"

#ifdef HALVARO_CHECK_LOCK_ORDER
#include "common/lock_order.h"
#endif

namespace halvaro {

class Lock {
 public:
  Lock() noexcept { InitializeCriticalSection(&section_); }
#ifdef HALVARO_CHECK_LOCK_ORDER
  explicit Lock(LockRank rank) noexcept : Lock() { rank_ = rank; }
#else
  explicit Lock(LockRank) noexcept : Lock() {}
#endif
  ~Lock() { DeleteCriticalSection(&section_); }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

#ifdef HALVARO_CHECK_LOCK_ORDER
  void lock() noexcept {
    CheckLockOrder(rank_);
    EnterCriticalSection(&section_);
    RecordLockTaken(rank_);
  }
  void unlock() noexcept {
    RecordLockReleased(rank_);
    LeaveCriticalSection(&section_);
  }
  bool try_lock() noexcept {
    if (TryEnterCriticalSection(&section_) == 0) return false;
    CheckLockOrder(rank_);
    RecordLockTaken(rank_);
    return true;
  }
#else
  void lock() noexcept { EnterCriticalSection(&section_); }
  void unlock() noexcept { LeaveCriticalSection(&section_); }
  bool try_lock() noexcept { return TryEnterCriticalSection(&section_) != 0; }
#endif

  // For the platform's condition variables (test tooling only; NT 5.1 has none).
  CRITICAL_SECTION* native() noexcept { return &section_; }

 private:
  CRITICAL_SECTION section_;
#ifdef HALVARO_CHECK_LOCK_ORDER
  LockRank rank_ = LockRank::kUnranked;
#endif
};

// A lock that a caller can give up on after a time. The timed wait retries every
// millisecond: it is taken only on close paths that wait for one transfer to end, where a
// few milliseconds do not matter, and it needs no kernel object that could fail to exist.
class TimedLock {
 public:
  TimedLock() noexcept = default;
  explicit TimedLock(LockRank rank) noexcept : lock_(rank) {}

  void lock() noexcept { lock_.lock(); }
  void unlock() noexcept { lock_.unlock(); }
  bool try_lock() noexcept { return lock_.try_lock(); }

  template <typename Rep, typename Period>
  bool try_lock_for(const std::chrono::duration<Rep, Period>& wait) noexcept {
    const DWORD wait_ms = static_cast<DWORD>(
        std::chrono::duration_cast<std::chrono::milliseconds>(wait).count());
    return TryLockForMs(wait_ms);
  }

 private:
  bool TryLockForMs(DWORD wait_ms) noexcept {
    const DWORD began = GetTickCount();
    for (;;) {
      if (lock_.try_lock()) return true;
      if (GetTickCount() - began >= wait_ms) return false;  // wrap-safe span
      Sleep(1);
    }
  }

  Lock lock_;
};

}  // namespace halvaro

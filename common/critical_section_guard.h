// Holds a critical section for one scope, so that no early return leaves it entered.
//
// Threading: the guard is used on the thread that entered; the critical section must stay
// initialised for the guard's whole life.
#pragma once

#include <windows.h>

namespace halvaro {

class CriticalSectionGuard {
 public:
  explicit CriticalSectionGuard(CRITICAL_SECTION& section) : section_(section) {
    EnterCriticalSection(&section_);
  }
  ~CriticalSectionGuard() { LeaveCriticalSection(&section_); }
  CriticalSectionGuard(const CriticalSectionGuard&) = delete;
  CriticalSectionGuard& operator=(const CriticalSectionGuard&) = delete;

 private:
  CRITICAL_SECTION& section_;
};

}  // namespace halvaro

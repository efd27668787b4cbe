// Deadlines on the 32-bit millisecond tick of GetTickCount, the clock that every Windows from
// NT 5.1 has (GetTickCount64 came with NT 6.0). A deadline keeps its start and its span, and
// the time gone is the unsigned difference of two ticks, which stays right across the tick's
// wrap for spans below 49.7 days; every wait of these programs is far shorter.
//
// Threading: a value type; not synchronised.
#pragma once

#include <windows.h>

namespace halvaro {

class TickDeadline {
 public:
  TickDeadline() = default;  // already passed
  TickDeadline(DWORD start_tick, DWORD span_ms) : start_(start_tick), span_(span_ms) {}

  // `span_ms` from now; INFINITE never passes.
  static TickDeadline After(DWORD span_ms) { return TickDeadline(GetTickCount(), span_ms); }

  // Milliseconds left at tick `now` (not earlier than the start): 0 once passed, INFINITE
  // for a deadline that never passes.
  DWORD Remaining(DWORD now) const {
    if (span_ == INFINITE) return INFINITE;
    const DWORD gone = now - start_;
    return gone >= span_ ? 0 : span_ - gone;
  }
  DWORD Remaining() const { return Remaining(GetTickCount()); }
  bool Passed(DWORD now) const { return Remaining(now) == 0; }
  bool Passed() const { return Remaining() == 0; }

 private:
  DWORD start_ = 0;
  DWORD span_ = 0;
};

}  // namespace halvaro

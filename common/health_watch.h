// Whether a thing that can fail and come back (a port, a connection, a pipe name) is worth a
// word now: the caller notes each outcome it sees, attempt after attempt, and learns only
// the changes, so that a report is written once per change and not once per attempt.
//
// Threading: Note may be called from any thread; each note is one atomic exchange, and two
// notes at once are taken in some order.
#pragma once

#include <atomic>
#include <cstdint>

namespace halvaro {

enum class HealthChange {
  kNone,           // as it was (or working from the first note on)
  kFailedAtFirst,  // the first outcome noted was a failure
  kFailed,         // it had worked and fails now
  kRecovered,      // it had failed and works now
};

class HealthWatch {
 public:
  HealthChange Note(bool working) {
    const State now = working ? State::kWorking : State::kFailing;
    const State before = state_.exchange(now);
    if (before == now) return HealthChange::kNone;
    if (working) return before == State::kFailing ? HealthChange::kRecovered : HealthChange::kNone;
    return before == State::kUnknown ? HealthChange::kFailedAtFirst : HealthChange::kFailed;
  }

 private:
  enum class State : uint8_t { kUnknown, kWorking, kFailing };
  std::atomic<State> state_{State::kUnknown};
};

}  // namespace halvaro

// How many entries of one kind the event log takes: a port that comes and goes a hundred
// times a minute must not fill the log. Each kind of entry has a budget per window of time;
// the window opens with the first entry of that kind. Within it, the first
// kEventBudgetEntries are written, the next one is replaced by a single entry saying that
// further ones are held back, and the rest are dropped until the window is over.
//
// Threading: not synchronised; its owner (service/event_log.h) takes a lock around Admit.
#pragma once

#include <cstddef>
#include <cstdint>

namespace halvaro {

constexpr uint32_t kEventBudgetWindowMs = 10 * 60 * 1000;
constexpr uint32_t kEventBudgetEntries = 3;
// Kinds are the messages' codes; a larger code shares the last slot.
constexpr size_t kEventKinds = 32;

enum class BudgetVerdict {
  kWrite,     // within the budget
  kHoldBack,  // the budget is spent: write that further entries are held back
  kDrop,      // held back
};

class EventBudget {
 public:
  // `now_ms` is a GetTickCount value; spans are taken wrap-safe.
  BudgetVerdict Admit(uint32_t kind, uint32_t now_ms) {
    Kind& k = kinds_[kind < kEventKinds ? kind : kEventKinds - 1];
    if (!k.open || now_ms - k.window_began >= kEventBudgetWindowMs) {
      k.open = true;
      k.window_began = now_ms;
      k.taken = 0;
    }
    if (k.taken > kEventBudgetEntries) return BudgetVerdict::kDrop;
    ++k.taken;
    return k.taken > kEventBudgetEntries ? BudgetVerdict::kHoldBack : BudgetVerdict::kWrite;
  }

 private:
  struct Kind {
    bool open = false;
    uint32_t window_began = 0;
    uint32_t taken = 0;  // entries of this window, the hold-back notice included
  };
  Kind kinds_[kEventKinds];
};

}  // namespace halvaro

// What the event log is told: a change of state once, however many attempts see it, and no
// more entries of one kind than its budget in a window.
#include <gtest/gtest.h>

#include <vector>

#include "common/health_watch.h"
#include "service/event_budget.h"

namespace halvaro {
namespace {

TEST(HealthWatchTest, EachChangeIsToldOnceAndAFailureFromTheStartApart) {
  HealthWatch absent_at_start;
  std::vector<HealthChange> told;
  for (bool working : {false, false, true, true, false, false, true}) {
    told.push_back(absent_at_start.Note(working));
  }
  EXPECT_EQ(told, (std::vector<HealthChange>{
                      HealthChange::kFailedAtFirst, HealthChange::kNone, HealthChange::kRecovered,
                      HealthChange::kNone, HealthChange::kFailed, HealthChange::kNone,
                      HealthChange::kRecovered}));

  HealthWatch present_at_start;
  EXPECT_EQ(present_at_start.Note(true), HealthChange::kNone);
  EXPECT_EQ(present_at_start.Note(false), HealthChange::kFailed);
}

std::vector<BudgetVerdict> Admit(EventBudget& budget, uint32_t kind, uint32_t now, int times) {
  std::vector<BudgetVerdict> verdicts;
  for (int i = 0; i < times; ++i) verdicts.push_back(budget.Admit(kind, now + i));
  return verdicts;
}

TEST(EventBudgetTest, AFloodGivesItsBudgetThenOneNoticePerWindowAndKind) {
  std::vector<BudgetVerdict> flood(kEventBudgetEntries, BudgetVerdict::kWrite);
  flood.push_back(BudgetVerdict::kHoldBack);
  flood.push_back(BudgetVerdict::kDrop);
  flood.push_back(BudgetVerdict::kDrop);
  const int flood_size = static_cast<int>(flood.size());

  // The window opens just before the tick count wraps: the span is taken across the wrap.
  const uint32_t began = 0xFFFFFF00u;
  EventBudget budget;
  EXPECT_EQ(Admit(budget, 6, began, flood_size), flood);
  // Another kind has a budget of its own, and so has a code beyond the table.
  EXPECT_EQ(Admit(budget, 7, began, flood_size), flood);
  EXPECT_EQ(Admit(budget, 500, began, flood_size), flood);
  // Still held back at the window's last tick; a new window after it.
  EXPECT_EQ(budget.Admit(6, began + kEventBudgetWindowMs - 1), BudgetVerdict::kDrop);
  EXPECT_EQ(Admit(budget, 6, began + kEventBudgetWindowMs, flood_size), flood);
}

}  // namespace
}  // namespace halvaro

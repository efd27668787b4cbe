// The debug build's lock-order check, compiled in here whatever the build type (the unit
// tests link the libraries as built, and the shipped build checks nothing). The reporter
// records instead of ending the process.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "common/joinable_thread.h"
#include "common/lock_order.h"
#include "common/locks.h"
#include "common/unique_resource.h"

namespace halvaro {
namespace {

std::atomic<int> g_reports{0};
std::atomic<LockRank> g_held{LockRank::kUnranked};
std::atomic<LockRank> g_taken{LockRank::kUnranked};

void RecordReport(LockRank held, LockRank taken) {
  g_held = held;
  g_taken = taken;
  ++g_reports;
}

class LockOrderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_reports = 0;
    previous_ = SetLockOrderReporter(RecordReport);
  }
  void TearDown() override { SetLockOrderReporter(previous_); }

 private:
  LockOrderReporter previous_ = nullptr;
};

// Another thread that holds `lock` from Hold() until the object goes.
class Holder {
 public:
  explicit Holder(Lock& lock) : thread_([this, &lock] {
    std::lock_guard<Lock> held(lock);
    SetEvent(holding_.get());
    WaitForSingleObject(release_.get(), INFINITE);
  }) {
    WaitForSingleObject(holding_.get(), INFINITE);
  }
  ~Holder() {
    SetEvent(release_.get());
    thread_.join();
  }

 private:
  UniqueHandle holding_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  UniqueHandle release_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  JoinableThread thread_;
};

TEST_F(LockOrderTest, TakesInTheWrittenOrderPassAndKeepTheLastError) {
  TimedLock lifecycle(LockRank::kLifecycle);
  Lock operation(LockRank::kVolumeOperation);
  TimedLock link(LockRank::kSerialLink);
  Lock leaf(LockRank::kLeaf);
  Lock unranked;
  {
    std::lock_guard<TimedLock> a(lifecycle);
    std::lock_guard<Lock> b(operation);
    SetLastError(ERROR_ACCESS_DENIED);
    std::lock_guard<TimedLock> c(link);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    std::lock_guard<Lock> d(leaf);
    std::lock_guard<Lock> e(unranked);  // not checked
  }
  // Released out of their order: neither stays recorded.
  std::unique_lock<TimedLock> a(lifecycle);
  std::unique_lock<Lock> b(operation);
  a.unlock();
  b.unlock();
  std::lock_guard<TimedLock> c(lifecycle);
  std::lock_guard<Lock> d(operation);
  EXPECT_EQ(g_reports, 0);
}

TEST_F(LockOrderTest, ATakeOutOfOrderIsReportedWithBothRanks) {
  TimedLock link(LockRank::kSerialLink);
  Lock operation(LockRank::kVolumeOperation);
  Lock leaf(LockRank::kLeaf);
  Lock other_leaf(LockRank::kLeaf);
  {
    std::lock_guard<TimedLock> a(link);
    std::lock_guard<Lock> b(operation);
  }
  EXPECT_EQ(g_reports, 1);
  EXPECT_EQ(g_held, LockRank::kSerialLink);
  EXPECT_EQ(g_taken, LockRank::kVolumeOperation);
  {
    std::lock_guard<Lock> a(leaf);
    std::lock_guard<Lock> b(other_leaf);  // nothing under a leaf, not even a leaf
  }
  EXPECT_EQ(g_reports, 2);
  EXPECT_EQ(g_held, LockRank::kLeaf);
  EXPECT_EQ(g_taken, LockRank::kLeaf);
}

TEST_F(LockOrderTest, TheDefaultReporterNamesBothRanksAndEndsTheProcess) {
  TimedLock link(LockRank::kSerialLink);
  Lock operation(LockRank::kVolumeOperation);
  EXPECT_DEATH(
      {
        SetLockOrderReporter(nullptr);
        std::lock_guard<TimedLock> a(link);
        std::lock_guard<Lock> b(operation);
      },
      "Lock order violated: taking VolumeOperation while holding SerialLink");
}

TEST_F(LockOrderTest, AFailedTryLockRecordsNothingAndASuccessfulOneIsChecked) {
  Lock subscriptions(LockRank::kSubscriptions);
  TimedLock link(LockRank::kSerialLink);
  {
    Holder other(subscriptions);
    ASSERT_FALSE(subscriptions.try_lock());
    std::lock_guard<TimedLock> lower(link);  // fine: the failed try holds nothing
  }
  EXPECT_EQ(g_reports, 0);

  std::lock_guard<TimedLock> lower(link);
  ASSERT_TRUE(subscriptions.try_lock());
  subscriptions.unlock();
  EXPECT_EQ(g_reports, 0);
  {
    std::unique_lock<Lock> higher(subscriptions, std::try_to_lock);
    ASSERT_TRUE(higher.owns_lock());
    Lock lifecycle(LockRank::kLifecycle);
    std::lock_guard<Lock> below(lifecycle);
  }
  EXPECT_EQ(g_reports, 1);
  EXPECT_EQ(g_held, LockRank::kSubscriptions);
  EXPECT_EQ(g_taken, LockRank::kLifecycle);
}

TEST_F(LockOrderTest, EachThreadHoldsItsOwnRanks) {
  Lock status(LockRank::kStatusRecord);
  Lock lifecycle(LockRank::kLifecycle);
  Lock backend(LockRank::kVolumeBackend);
  std::lock_guard<Lock> mine(lifecycle);
  {
    // The other thread's high rank is not this thread's, nor this one's its.
    Holder other(status);
    std::lock_guard<Lock> below_theirs(backend);
  }
  EXPECT_EQ(g_reports, 0);
}

}  // namespace
}  // namespace halvaro

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

#include "common/worker_thread.h"

namespace halvaro {
namespace {

TEST(WorkerThreadTest, StopEndsABodyThatWaitsOnTheStopEvent) {
  WorkerThread worker;
  std::atomic<bool> returned{false};
  ASSERT_TRUE(worker.Start([&](HANDLE stop) {
    WaitForSingleObject(stop, INFINITE);
    returned = true;
  }));
  EXPECT_TRUE(worker.Running());
  EXPECT_FALSE(worker.Start([](HANDLE) {}));  // one thread at a time
  EXPECT_TRUE(worker.Stop(10000));
  EXPECT_TRUE(returned);
  EXPECT_FALSE(worker.Running());

  // Once ended it may be started again, with a fresh stop event.
  ASSERT_TRUE(worker.Start([](HANDLE stop) { WaitForSingleObject(stop, INFINITE); }));
  EXPECT_TRUE(worker.Running());
  EXPECT_TRUE(worker.Stop(10000));
}

TEST(WorkerThreadTest, StopReportsABodyThatDoesNotEndInTime) {
  UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  WorkerThread worker;
  ASSERT_TRUE(worker.Start([&](HANDLE) { WaitForSingleObject(release.get(), INFINITE); }));
  EXPECT_FALSE(worker.Stop(50));
  EXPECT_TRUE(worker.Running());
  SetEvent(release.get());
  EXPECT_TRUE(worker.Stop(10000));
}

TEST(WorkerThreadTest, AnEscapingExceptionEndsOnlyTheWorker) {
  WorkerThread worker;
  ASSERT_TRUE(worker.Start([](HANDLE) { throw std::runtime_error("from a body"); }));
  EXPECT_TRUE(worker.Stop(10000));  // the process is still here to see it end
}

TEST(WorkerGroupTest, CapacityAndStopAllClosingTheGroup) {
  WorkerGroup group(2);
  auto wait_for_stop = [](HANDLE stop) { WaitForSingleObject(stop, INFINITE); };
  ASSERT_TRUE(group.Start(wait_for_stop));
  ASSERT_TRUE(group.Start(wait_for_stop));
  EXPECT_FALSE(group.Start(wait_for_stop));  // full
  EXPECT_EQ(group.Running(), 2u);

  EXPECT_TRUE(group.StopAll(10000));
  EXPECT_EQ(group.Running(), 0u);
  EXPECT_FALSE(group.Start([](HANDLE) {}));  // nothing starts after the stop
}

TEST(WorkerGroupTest, EndedWorkersFreeTheirPlace) {
  WorkerGroup group(1);
  ASSERT_TRUE(group.Start([](HANDLE) {}));
  for (int i = 0; i < 200 && group.Running() != 0; ++i) Sleep(10);
  EXPECT_TRUE(group.Start([](HANDLE) {}));
  EXPECT_TRUE(group.StopAll(10000));
}

}  // namespace
}  // namespace halvaro

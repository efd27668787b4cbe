#include <gtest/gtest.h>

#include "common/bounded_format.h"
#include "common/unique_resource.h"
#include "service/subscribers.h"
#include "common/subscription_message.h"

namespace halvaro {
namespace {

// Opens a subscriber's event as its client program would.
UniqueHandle OpenClientEvent(const wchar_t* format, uint32_t process_id) {
  wchar_t name[32];
  FormatBounded(name, 32, format, process_id);
  return UniqueHandle(OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, name));
}

bool Signalled(const UniqueHandle& event) {
  return WaitForSingleObject(event.get(), 0) == WAIT_OBJECT_0;
}

class SubscribersTest : public ::testing::Test {
 protected:
  uint32_t Subscribe(uint32_t pid) { return halvaro::Subscribe(subs_, pid, max_); }
  uint32_t Unsubscribe(uint32_t pid) { return halvaro::Unsubscribe(subs_, pid); }
  size_t Count() const { return subs_.list.size(); }
  uint32_t PidAt(size_t i) const { return subs_.list[i].process_id; }

  Subscriptions subs_;
  uint32_t max_ = 1;
};

TEST_F(SubscribersTest, OneSubscriberAtATimeByDefault) {
  EXPECT_EQ(Subscribe(0x1A2B), kSubscriptionResultDone);
  UniqueHandle first_removal = OpenClientEvent(kRemovalEventNameFormat, 0x1A2B);
  ASSERT_TRUE(first_removal);
  EXPECT_EQ(Subscribe(0x1A2B), kSubscriptionResultAlready);
  EXPECT_EQ(Count(), 1u);

  EXPECT_EQ(Subscribe(0x2000), kSubscriptionResultEvicted);
  EXPECT_TRUE(Signalled(first_removal));
  ASSERT_EQ(Count(), 1u);
  EXPECT_EQ(PidAt(0), 0x2000u);
}

TEST_F(SubscribersTest, BeyondTheCapOnlyTheOldestGo) {
  max_ = 3;
  EXPECT_EQ(Subscribe(11), kSubscriptionResultDone);
  EXPECT_EQ(Subscribe(12), kSubscriptionResultDone);
  EXPECT_EQ(Subscribe(13), kSubscriptionResultDone);
  UniqueHandle removal_11 = OpenClientEvent(kRemovalEventNameFormat, 11);
  UniqueHandle removal_12 = OpenClientEvent(kRemovalEventNameFormat, 12);
  EXPECT_EQ(Subscribe(14), kSubscriptionResultEvicted);
  EXPECT_TRUE(Signalled(removal_11));
  EXPECT_FALSE(Signalled(removal_12));
  ASSERT_EQ(Count(), 3u);
  EXPECT_EQ(PidAt(0), 12u);
  EXPECT_EQ(PidAt(2), 14u);
}

TEST_F(SubscribersTest, AHugeCapStillKeepsTheListBounded) {
  max_ = 100000;
  for (uint32_t pid = 1000; pid < 1000 + kMostSubscribers + 6; ++pid) Subscribe(pid);
  ASSERT_EQ(Count(), static_cast<size_t>(kMostSubscribers));
  EXPECT_EQ(PidAt(0), 1006u);  // the oldest six went
}

TEST_F(SubscribersTest, UnsubscribeKeepsOrderAndSignalsNothing) {
  max_ = 3;
  Subscribe(21);
  Subscribe(22);
  Subscribe(23);
  UniqueHandle removal_22 = OpenClientEvent(kRemovalEventNameFormat, 22);
  EXPECT_EQ(Unsubscribe(22), kSubscriptionResultDone);
  EXPECT_FALSE(Signalled(removal_22));
  EXPECT_EQ(Unsubscribe(22), kSubscriptionResultNotSubscribed);
  ASSERT_EQ(Count(), 2u);
  EXPECT_EQ(PidAt(0), 21u);
  EXPECT_EQ(PidAt(1), 23u);
}

TEST_F(SubscribersTest, NotifyWakesEverySubscriber) {
  max_ = 2;
  NotifySubscribers(subs_);  // an empty list: nothing to do
  Subscribe(31);
  Subscribe(32);
  UniqueHandle wake_31 = OpenClientEvent(kWakeEventNameFormat, 31);
  UniqueHandle wake_32 = OpenClientEvent(kWakeEventNameFormat, 32);
  ASSERT_TRUE(wake_31 && wake_32);
  EXPECT_FALSE(Signalled(wake_31));
  NotifySubscribers(subs_);
  EXPECT_TRUE(Signalled(wake_31));
  EXPECT_TRUE(Signalled(wake_32));
}

}  // namespace
}  // namespace halvaro

#include <gtest/gtest.h>

#include <vector>

#include "service/optical_drive.h"

namespace halvaro {
namespace {

// A medium that comes and goes, seen through the poll (every second) and the resume path.
TEST(DiscStateTest, PollSendsChangesOnceAndResumeAlwaysSends) {
  uint32_t state = 0;
  std::vector<int> sent;
  auto poll = [&](uint32_t checked) {
    if (UpdateDiscState(&state, checked, false)) sent.push_back(static_cast<int>(checked));
  };
  auto resume = [&](uint32_t checked) {
    if (UpdateDiscState(&state, checked, true)) sent.push_back(static_cast<int>(checked));
  };

  resume(0);  // the start: sent although nothing changed
  poll(0);
  poll(0);
  poll(1);  // inserted
  poll(1);
  poll(1);
  resume(1);  // resume: sent again, unchanged
  poll(0);   // removed
  poll(0);
  EXPECT_EQ(sent, (std::vector<int>{0, 1, 1, 0}));
  EXPECT_EQ(state, 0u);
}

TEST(DiscStateTest, EmptyDriveReadsAsNoMediumAndStillEjects) {
  // The test prefix has the simulated drive, empty.
  EXPECT_EQ(CheckDiscPresent(), 0u);
  EXPECT_EQ(EjectOpticalDrive(), 1u);  // the drive answered
  EXPECT_EQ(CheckDiscPresent(), 0u);
}

}  // namespace
}  // namespace halvaro

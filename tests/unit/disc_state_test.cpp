#include <gtest/gtest.h>

#include <windows.h>
#include <winioctl.h>

#include <vector>

#include "common/unique_resource.h"
#include "service/optical_drive.h"
#include "sim/drive/drive_control.h"

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

// The simulated drive of the test prefix (sim/drive), through its private control codes.
bool SimDriveControl(DWORD code, SimDriveStatus* status = nullptr) {
  UniqueHandle drive(CreateFileW(SIMDRIVE_USER_PATH, GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD returned = 0;
  const DWORD size = status ? sizeof(*status) : 0;
  return drive && DeviceIoControl(drive.get(), code, nullptr, 0, status, size, &returned,
                                  nullptr) &&
         returned == size;
}

// Empties the drive for the test and puts back a disc that was in.
class EmptyDriveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SimDriveControl(IOCTL_SIMDRIVE_STATUS, &before_)) << "SimDrive.sys not started";
    ASSERT_TRUE(SimDriveControl(IOCTL_SIMDRIVE_REMOVE));
  }
  void TearDown() override {
    if (before_.media_present) {
      EXPECT_TRUE(SimDriveControl(IOCTL_SIMDRIVE_INSERT));
    }
  }

  SimDriveStatus before_{};
};

TEST_F(EmptyDriveTest, ReadsAsNoMediumAndStillEjects) {
  EXPECT_EQ(CheckDiscPresent(), 0u);
  EXPECT_EQ(EjectOpticalDrive(), 1u);  // the drive answered
  EXPECT_EQ(CheckDiscPresent(), 0u);
  SimDriveStatus after{};
  ASSERT_TRUE(SimDriveControl(IOCTL_SIMDRIVE_STATUS, &after));
  EXPECT_EQ(after.ejects, before_.ejects + 1);
}

}  // namespace
}  // namespace halvaro

// The optical drive on the simulated drive of the test prefix (sim/drive), and the disc state
// that the poll and the refresh send over a serial link.
#include <gtest/gtest.h>

#include <windows.h>
#include <winioctl.h>

#include <cwchar>
#include <vector>

#include "avboard/av_frames.h"
#include "avboard/serial_link.h"
#include "common/unique_resource.h"
#include "service/optical_drive.h"
#include "sim/drive/drive_control.h"

namespace halvaro {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes FrameBytes(const AvFrame& frame) { return Bytes(frame.bytes, frame.bytes + frame.length); }

// A board at the far end of a pipe that stands in for the link's port. Acknowledgements wait
// at the link's end in advance, so every exchange ends at its first attempt; the port calls
// that a pipe does not know (purge, time-outs) fail and change nothing.
class PipeBoard {
 public:
  PipeBoard() {
    wchar_t name[64];
    swprintf(name, 64, L"\\\\.\\pipe\\HalvaroDiscStateTest_%lu", GetCurrentProcessId());
    board_end_.reset(CreateNamedPipeW(name, PIPE_ACCESS_DUPLEX,
                                      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 256,
                                      256, 0, nullptr));
    link.handle.reset(CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  0, nullptr));
    if (board_end_ && link.handle) MoveLink(link, LinkState::kClosed, LinkState::kOpen);
    TopUpAcknowledgements();
  }

  bool ready() const { return link.open(); }

  // The bytes that reached the board since the last call.
  Bytes Received() {
    Bytes bytes;
    DWORD available = 0;
    if (PeekNamedPipe(board_end_.get(), nullptr, 0, nullptr, &available, nullptr) &&
        available != 0) {
      bytes.resize(available);
      DWORD read = 0;
      ReadFile(board_end_.get(), bytes.data(), available, &read, nullptr);
      bytes.resize(read);
    }
    TopUpAcknowledgements();
    return bytes;
  }

  SerialLink link;

 private:
  // More than one call should ever use: a call that sends too often fails its check
  // instead of waiting for an answer that never comes.
  static constexpr DWORD kWaitingAcknowledgements = 4;

  void TopUpAcknowledgements() {
    DWORD waiting = 0;
    PeekNamedPipe(link.handle.get(), nullptr, 0, nullptr, &waiting, nullptr);
    const uint8_t acknowledgement[2] = {0xF0, 0x0F};
    for (DWORD i = waiting / 2; i < kWaitingAcknowledgements; ++i) {
      DWORD written = 0;
      WriteFile(board_end_.get(), acknowledgement, 2, &written, nullptr);
    }
  }

  UniqueHandle board_end_;
};

// The simulated drive, through its private control codes.
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

// Leaves the drive with a disc in or not, as it found it.
class SimDriveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SimDriveControl(IOCTL_SIMDRIVE_STATUS, &before_)) << "SimDrive.sys not started";
  }
  void TearDown() override {
    EXPECT_TRUE(SimDriveControl(before_.media_present ? IOCTL_SIMDRIVE_INSERT
                                                      : IOCTL_SIMDRIVE_REMOVE));
  }

  SimDriveStatus before_{};
};

TEST_F(SimDriveTest, EmptyDriveReadsAsNoMediumAndStillEjects) {
  ASSERT_TRUE(SimDriveControl(IOCTL_SIMDRIVE_REMOVE));
  EXPECT_EQ(CheckDiscPresent(), 0u);
  EXPECT_EQ(EjectOpticalDrive(), 1u);  // the drive answered
  EXPECT_EQ(CheckDiscPresent(), 0u);
  SimDriveStatus after{};
  ASSERT_TRUE(SimDriveControl(IOCTL_SIMDRIVE_STATUS, &after));
  EXPECT_EQ(after.ejects, before_.ejects + 1);
}

// A disc that comes and goes: the poll (every second) sends each change once, the refresh
// (start, resume, the board back) sends the state even when unchanged, each as the disc-state
// frame of what the drive reads; a board that counts as absent is sent nothing.
TEST_F(SimDriveTest, PollSendsEachChangeOnceAndRefreshAlwaysSends) {
  PipeBoard board;
  ASSERT_TRUE(board.ready());
  OpticalDrive drive;
  const Bytes empty = FrameBytes(DiscStateFrame(0));
  const Bytes loaded = FrameBytes(DiscStateFrame(1));

  ASSERT_TRUE(SimDriveControl(IOCTL_SIMDRIVE_REMOVE));
  RefreshDiscState(drive, board.link, true);
  EXPECT_EQ(board.Received(), empty);
  PollDiscState(drive, board.link, true);
  EXPECT_EQ(board.Received(), Bytes{});

  ASSERT_TRUE(SimDriveControl(IOCTL_SIMDRIVE_INSERT));
  PollDiscState(drive, board.link, true);
  EXPECT_EQ(board.Received(), loaded);
  PollDiscState(drive, board.link, true);
  EXPECT_EQ(board.Received(), Bytes{});
  RefreshDiscState(drive, board.link, true);
  EXPECT_EQ(board.Received(), loaded);

  ASSERT_TRUE(SimDriveControl(IOCTL_SIMDRIVE_REMOVE));
  PollDiscState(drive, board.link, true);
  EXPECT_EQ(board.Received(), empty);

  RefreshDiscState(drive, board.link, /*board_present=*/false);
  EXPECT_EQ(board.Received(), Bytes{});
}

}  // namespace
}  // namespace halvaro

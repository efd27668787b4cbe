#include "service/optical_drive.h"

#include <winioctl.h>

#include "avboard/av_commands.h"
#include "common/bounded_format.h"
#include "common/object_names.h"
#include "common/unique_resource.h"

namespace halvaro {

namespace {

UniqueHandle OpenDrive(const wchar_t* path) {
  return UniqueHandle(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool DriveControl(const wchar_t* path, DWORD code) {
  UniqueHandle drive = OpenDrive(path);
  if (!drive) return false;
  DWORD returned = 0;
  return DeviceIoControl(drive.get(), code, nullptr, 0, nullptr, 0, &returned, nullptr) == 1;
}

// Stores what the drive reads as the disc state and sends it: always when `always`,
// otherwise only on a change.
void MirrorDiscState(OpticalDrive& drive, SerialLink& link, bool board_present, bool always) {
  const uint32_t checked = CheckDiscPresent();
  const bool changed = drive.disc_state != checked;
  drive.disc_state = checked;
  if ((always || changed) && board_present) SendDiscState(link, static_cast<uint8_t>(checked));
}

}  // namespace

uint32_t EjectOpticalDrive() {
  int still_to_eject = 1;
  for (int drive = 0; drive < 1; ++drive) {  // only the first drive
    wchar_t path[kObjectNameSize];
    FormatBounded(path, kObjectNameSize, kOpticalDriveNameFormat, drive);
    if (DriveControl(path, IOCTL_STORAGE_EJECT_MEDIA) && --still_to_eject == 0) break;
  }
  return still_to_eject != 1 ? 1 : 0;
}

void EjectThread(HANDLE) { EjectOpticalDrive(); }

bool StartEjectThread(OpticalDrive& drive) { return drive.eject_threads.Start(EjectThread); }

uint32_t CheckDiscPresent() {
  wchar_t path[kObjectNameSize];
  FormatBounded(path, kObjectNameSize, kOpticalDriveNameFormat, 0);
  return DriveControl(path, IOCTL_STORAGE_CHECK_VERIFY) ? 1 : 0;
}

void PollDiscState(OpticalDrive& drive, SerialLink& link, bool board_present) {
  MirrorDiscState(drive, link, board_present, /*always=*/false);
}

void RefreshDiscState(OpticalDrive& drive, SerialLink& link, bool board_present) {
  MirrorDiscState(drive, link, board_present, /*always=*/true);
}

}  // namespace halvaro

#include "service/optical_drive.h"

#include <winioctl.h>

#include "avboard/av_commands.h"
#include "common/bounded_format.h"
#include "common/object_names.h"
#include "common/unique_resource.h"
#include "service/service_state.h"

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

void SendDiscStateIfBoard(uint32_t state) {
  ServiceState& s = Service();
  if (s.av_board_present) SendDiscState(s.serial_link, static_cast<uint8_t>(state));
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

bool UpdateDiscState(uint32_t* disc_state, uint32_t checked, bool always) {
  const bool changed = *disc_state != checked;
  *disc_state = checked;
  return always || changed;
}

void PollDiscState() {
  ServiceState& s = Service();
  const uint32_t checked = CheckDiscPresent();
  if (UpdateDiscState(&s.drive.disc_state, checked, /*always=*/false)) {
    SendDiscStateIfBoard(checked);
  }
}

void RefreshDiscState() {
  ServiceState& s = Service();
  const uint32_t checked = CheckDiscPresent();
  if (UpdateDiscState(&s.drive.disc_state, checked, /*always=*/true)) {
    SendDiscStateIfBoard(checked);
  }
}

}  // namespace halvaro

// SimDrive.exe: the test's hand on the simulated optical drive behind SimDrive.sys.
//
//   SimDrive insert          a disc goes in
//   SimDrive remove          the disc comes out (not counted as an eject)
//   SimDrive status          prints media=<0|1> and ejects=<n>
//   SimDrive delay <ms>      each later eject takes that long (0 = at once)
//
// Exit code: 0 done, 1 failed (message on stderr), 2 bad usage.
#include <windows.h>
#include <winioctl.h>

#include <cerrno>
#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <optional>

#include "common/unique_resource.h"
#include "sim/drive/drive_control.h"

namespace {

using halvaro::UniqueHandle;

constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kBadUsage = 2;
constexpr unsigned long kMaxDelayMs = 60000;  // the driver refuses more

int Usage() {
  std::fwprintf(stderr,
                L"usage: SimDrive insert\n"
                L"       SimDrive remove\n"
                L"       SimDrive status\n"
                L"       SimDrive delay <ms>\n");
  return kBadUsage;
}

int Fail(const wchar_t* what, DWORD error) {
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
    std::fwprintf(stderr, L"SimDrive: %ls: there is no drive (is SimDrive.sys started?)\n",
                  what);
  } else {
    std::fwprintf(stderr, L"SimDrive: %ls (error %lu)\n", what, error);
  }
  return kFailed;
}

std::optional<uint32_t> ParseDelay(const wchar_t* text) {
  if (!std::iswdigit(text[0])) return std::nullopt;
  wchar_t* end = nullptr;
  errno = 0;
  const unsigned long value = std::wcstoul(text, &end, 10);
  if (errno != 0 || *end != L'\0' || value > kMaxDelayMs) return std::nullopt;
  return static_cast<uint32_t>(value);
}

// One control request to the drive; false with the last-error value set on failure.
bool Control(DWORD code, void* in, DWORD in_size, void* out, DWORD out_size) {
  UniqueHandle drive(CreateFileW(SIMDRIVE_USER_PATH, GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!drive) return false;
  DWORD returned = 0;
  if (!DeviceIoControl(drive.get(), code, in, in_size, out, out_size, &returned, nullptr)) {
    return false;
  }
  if (returned != out_size) {
    SetLastError(ERROR_INVALID_DATA);
    return false;
  }
  return true;
}

int Run(int argc, wchar_t** argv) {
  if (argc < 2) return Usage();
  const wchar_t* const command = argv[1];
  if (_wcsicmp(command, L"insert") == 0 && argc == 2) {
    if (!Control(IOCTL_SIMDRIVE_INSERT, nullptr, 0, nullptr, 0)) {
      return Fail(L"cannot insert a disc into " SIMDRIVE_USER_PATH, GetLastError());
    }
    std::wprintf(L"media=1\n");
    return kDone;
  }
  if (_wcsicmp(command, L"remove") == 0 && argc == 2) {
    if (!Control(IOCTL_SIMDRIVE_REMOVE, nullptr, 0, nullptr, 0)) {
      return Fail(L"cannot remove the disc from " SIMDRIVE_USER_PATH, GetLastError());
    }
    std::wprintf(L"media=0\n");
    return kDone;
  }
  if (_wcsicmp(command, L"status") == 0 && argc == 2) {
    SimDriveStatus status{};
    if (!Control(IOCTL_SIMDRIVE_STATUS, nullptr, 0, &status, sizeof(status))) {
      return Fail(L"cannot read the state of " SIMDRIVE_USER_PATH, GetLastError());
    }
    std::wprintf(L"media=%u\nejects=%u\n", static_cast<unsigned>(status.media_present),
                 static_cast<unsigned>(status.ejects));
    return kDone;
  }
  if (_wcsicmp(command, L"delay") == 0 && argc == 3) {
    const std::optional<uint32_t> delay = ParseDelay(argv[2]);
    if (!delay) return Usage();
    SimDriveDelay request{*delay};
    if (!Control(IOCTL_SIMDRIVE_DELAY, &request, sizeof(request), nullptr, 0)) {
      return Fail(L"cannot set the eject delay of " SIMDRIVE_USER_PATH, GetLastError());
    }
    std::wprintf(L"eject_delay_ms=%u\n", static_cast<unsigned>(*delay));
    return kDone;
  }
  return Usage();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  try {
    return Run(argc, argv);
  } catch (...) {
    std::fwprintf(stderr, L"SimDrive: unexpected failure\n");
    return kFailed;
  }
}

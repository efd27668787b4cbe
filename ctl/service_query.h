// What the system knows about the service without asking the service itself: its state and
// process id from the service control manager, and the values under its registry key (the
// settings, decoded as the service decodes them at start, and the status values it writes).
//
// Threading: reentrant; each call opens and closes handles of its own.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace halvaro::ctl {

struct ServiceStatus {
  bool known = false;       // false: the manager could not be asked (see failed_call, error)
  bool installed = false;
  DWORD state = 0;          // SERVICE_STOPPED ... SERVICE_PAUSED, when installed
  uint32_t process_id = 0;  // while it runs
  DWORD problem = 0;        // what it reports while it runs (common/service_problem.h)
  const char* failed_call = "";
  DWORD error = ERROR_SUCCESS;

  bool running() const { return installed && state == SERVICE_RUNNING; }
};

ServiceStatus QueryService();

// "not installed", "stopped", "start pending", "running", ...
std::string StateName(const ServiceStatus& status);

struct SettingValue {
  const wchar_t* name = L"";
  uint32_t value = 0;          // what the service takes at its next start
  bool from_registry = false;  // else the default
  uint32_t stored = 0;         // when from_registry: as stored (EMAMaxRegister 0 is taken as 1)
  DWORD ignored_size = 0;      // a stored value that is not 4 bytes long, and so not taken
};

struct StatusValue {
  const wchar_t* name = L"";
  bool present = false;
  uint32_t value = 0;
};

struct ServiceKeyValues {
  bool key_found = false;
  SettingValue settings[4];  // EMAMaxRegister, ComPort, BuadRate, ComCmdTimeFrame
  StatusValue status[3];     // CurrentAVMode, CurrentServiceMode, AVBoardStatus
};

ServiceKeyValues ReadServiceKey();

}  // namespace halvaro::ctl

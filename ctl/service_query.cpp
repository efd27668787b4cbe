#include "ctl/service_query.h"

#include "common/object_names.h"
#include "common/setting_values.h"
#include "common/unique_resource.h"

namespace halvaro::ctl {

namespace {

SettingValue ReadSetting(HKEY key, const wchar_t* name, uint32_t default_value) {
  SettingValue setting;
  setting.name = name;
  setting.value = default_value;
  if (!key) return setting;
  const StoredDword stored = QueryStoredDword(key, name);
  if (stored.taken) {
    setting.from_registry = true;
    setting.stored = stored.value;
    setting.value = stored.value;
  } else if (stored.size != 0) {
    setting.ignored_size = stored.size;
  }
  return setting;
}

StatusValue ReadStatus(HKEY key, const wchar_t* name) {
  StatusValue status;
  status.name = name;
  if (!key) return status;
  const StoredDword stored = QueryStoredDword(key, name);
  status.present = stored.taken;
  status.value = stored.value;
  return status;
}

}  // namespace

ServiceStatus QueryService() {
  ServiceStatus status;
  UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) {
    status.failed_call = "OpenSCManagerW";
    status.error = GetLastError();
    return status;
  }
  UniqueServiceHandle service(OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_STATUS));
  if (!service) {
    status.error = GetLastError();
    if (status.error == ERROR_SERVICE_DOES_NOT_EXIST) {
      status.known = true;  // not installed is an answer
      status.error = ERROR_SUCCESS;
    } else {
      status.failed_call = "OpenServiceW";
    }
    return status;
  }
  SERVICE_STATUS_PROCESS process = {};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                            reinterpret_cast<BYTE*>(&process), sizeof(process), &needed)) {
    status.failed_call = "QueryServiceStatusEx";
    status.error = GetLastError();
    return status;
  }
  status.known = true;
  status.installed = true;
  status.state = process.dwCurrentState;
  status.process_id = process.dwProcessId;
  if (process.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR) {
    status.problem = process.dwServiceSpecificExitCode;
  }
  return status;
}

std::string StateName(const ServiceStatus& status) {
  if (!status.known) return "unknown";
  if (!status.installed) return "not installed";
  switch (status.state) {
    case SERVICE_STOPPED: return "stopped";
    case SERVICE_START_PENDING: return "start pending";
    case SERVICE_STOP_PENDING: return "stop pending";
    case SERVICE_RUNNING: return "running";
    case SERVICE_CONTINUE_PENDING: return "continue pending";
    case SERVICE_PAUSE_PENDING: return "pause pending";
    case SERVICE_PAUSED: return "paused";
    default: return "state " + std::to_string(status.state);
  }
}

ServiceKeyValues ReadServiceKey() {
  ServiceKeyValues values;
  UniqueRegKey key;
  // Read access only: a support engineer need not be an administrator to look.
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServiceKeyPath, 0, KEY_QUERY_VALUE, key.put()) !=
      ERROR_SUCCESS) {
    key.release();  // what a failed open leaves is not a key
  }
  values.key_found = key.valid();
  values.settings[0] = ReadSetting(key.get(), kMaxSubscribersValue, kDefaultMaxSubscribers);
  values.settings[0].value = EffectiveMaxSubscribers(values.settings[0].value);
  values.settings[1] = ReadSetting(key.get(), kComPortValue, kDefaultComPort);
  values.settings[2] = ReadSetting(key.get(), kBaudRateValue, kDefaultBaudRate);
  values.settings[3] = ReadSetting(key.get(), kCmdTimeFrameValue, kDefaultCmdTimeFrame);
  values.settings[3].value = EffectiveCmdTimeFrame(values.settings[3].value);
  values.status[0] = ReadStatus(key.get(), kAvModeValue);
  values.status[1] = ReadStatus(key.get(), kServiceModeValue);
  values.status[2] = ReadStatus(key.get(), kBoardStatusValue);
  return values;
}

}  // namespace halvaro::ctl

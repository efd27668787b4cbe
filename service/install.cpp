#include "service/install.h"

#include <windows.h>

#include <cstdio>
#include <string>

#include "common/object_names.h"
#include "common/unique_resource.h"
#include "service/event_source_key.h"
#include "service/install_directory.h"

namespace halvaro {

namespace {

constexpr int kPollAttempts = 10;
constexpr DWORD kPollIntervalMs = 1000;

void Print(const char* format, DWORD error) {
  std::printf(format, static_cast<int>(error));
  std::fflush(stdout);
}

// The service's state through an interrogation, or 0 when it cannot be interrogated
// (a service that is not running cannot).
DWORD Interrogate(SC_HANDLE service) {
  SERVICE_STATUS status = {};
  if (!ControlService(service, SERVICE_CONTROL_INTERROGATE, &status)) return 0;
  return status.dwCurrentState;
}

}  // namespace

void InstallService() {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {  // a cut-off path would name another file
    Print("Can not install service (%d)\n",
          length == 0 ? GetLastError() : static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    return;
  }
  // The service runs as LocalSystem and starts its companions from this directory: one that
  // others may write to would let them run code as LocalSystem.
  std::wstring directory(path, std::wstring(path).rfind(L'\\') + 1);
  if (directory.size() > 3) directory.pop_back();  // "C:\dir", but "C:\" for a drive's root
  if (DirectoryLetsOthersWrite(directory.c_str())) {
    std::printf("Can not install service: users who are not administrators may change the "
                "directory %ls; install it in a directory that only administrators can change, "
                "such as Program Files\n", directory.c_str());
    std::fflush(stdout);
    return;
  }
  // Quoted: in a directory whose name has spaces, an unquoted path would let the manager
  // start "C:\Program.exe" and the like before the service.
  const std::wstring image_path = L"\"" + std::wstring(path) + L"\"";
  UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) {
    Print("OpenSCManager failed (%d)\n", GetLastError());
    return;
  }
  UniqueServiceHandle service(CreateServiceW(
      manager.get(), kServiceName, kServiceName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
      SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, image_path.c_str(), nullptr, nullptr, nullptr,
      nullptr, nullptr));
  if (!service) {
    Print("CreateService failed (%d)\n", GetLastError());
    return;
  }
  // The texts of the service's log entries are in this program. A failure here leaves the
  // entries without their texts, not the service without its log: nothing more is said.
  WriteEventSourceKey(path);
  if (Interrogate(service.get()) == SERVICE_RUNNING) {
    Print("Service installed successfully\n", 0);
    return;
  }
  if (!StartServiceW(service.get(), 0, nullptr)) return;  // stays installed
  for (int attempt = 0; attempt < kPollAttempts; ++attempt) {
    Sleep(kPollIntervalMs);
    if (Interrogate(service.get()) == SERVICE_RUNNING) {
      Print("Service installed successfully\n", 0);
      return;
    }
  }
  // Still starting after ten seconds: installed, nothing printed.
}

void RemoveService() {
  UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) {
    Print("OpenSCManager failed (%d)\n", GetLastError());
    return;
  }
  UniqueServiceHandle service(OpenServiceW(manager.get(), kServiceName, SERVICE_ALL_ACCESS));
  if (!service) {
    Print("OpenService failed (%d)\n", GetLastError());
    return;
  }
  const DWORD state = Interrogate(service.get());
  if (state != 0 && state != SERVICE_STOPPED) {
    SERVICE_STATUS status = {};
    if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) return;
    for (int attempt = 0; attempt < kPollAttempts; ++attempt) {
      Sleep(kPollIntervalMs);
      const DWORD now = Interrogate(service.get());
      if (now == 0 || now == SERVICE_STOPPED) break;
    }
  }
  if (DeleteService(service.get())) {
    DeleteEventSourceKey();
    Print("Service deleted successfully\n", 0);
  } else {
    Print("DeleteService failed (%d)\n", GetLastError());
  }
}

}  // namespace halvaro

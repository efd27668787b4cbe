// The installer package's custom action (halvaro.wxs) that stops the service and waits until
// its process has ended, before the installer's own service stop, file changes and service
// removal. The manager may report the service stopped a moment before its process ends,
// and some installers do not wait for the stop at all: the programs would then still be in
// use when the installer replaces or removes them.
//
// Threading: called by the installer on one of its threads; keeps no state.
#include <windows.h>
#include <msi.h>

#include "common/object_names.h"
#include "common/unique_resource.h"

namespace {

// The service's whole teardown is bounded well below this.
constexpr DWORD kServiceExitWaitMs = 30000;
constexpr DWORD kStatusPollMs = 100;

bool QueryStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS* status) {
  DWORD needed = 0;
  return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(status),
                              sizeof(*status), &needed) != FALSE;
}

void StopAndWait() {
  halvaro::UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return;
  halvaro::UniqueServiceHandle service(OpenServiceW(
      manager.get(), halvaro::kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS));
  if (!service) return;  // not installed: nothing runs
  SERVICE_STATUS_PROCESS status = {};
  if (!QueryStatus(service.get(), &status) || status.dwCurrentState == SERVICE_STOPPED) return;
  // Taken before the stop: once stopped, the manager no longer names the process.
  halvaro::UniqueHandle process(
      status.dwProcessId != 0 ? OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId) : nullptr);
  if (status.dwCurrentState != SERVICE_STOP_PENDING) {
    SERVICE_STATUS ignored = {};
    ControlService(service.get(), SERVICE_CONTROL_STOP, &ignored);
  }
  if (process) {
    WaitForSingleObject(process.get(), kServiceExitWaitMs);
    return;
  }
  // Without the process (it could not be opened), the stopped state is what can be seen.
  for (DWORD waited = 0; waited < kServiceExitWaitMs; waited += kStatusPollMs) {
    if (!QueryStatus(service.get(), &status) || status.dwCurrentState == SERVICE_STOPPED) return;
    Sleep(kStatusPollMs);
  }
}

}  // namespace

// Never fails the installation: the installer's own service stop follows all the same.
// No exception leaves the action: the installer would lose its custom action server.
extern "C" UINT WINAPI StopServiceAndWait(MSIHANDLE) {
  try {
    StopAndWait();
  } catch (...) {
  }
  return ERROR_SUCCESS;
}

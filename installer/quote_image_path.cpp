// The installer package's custom action (halvaro.wxs) that quotes the service's image path.
// The installer writes the service program's path as the ServiceInstall table gives it, and
// some installers leave it unquoted; under "C:\Program Files\..." the manager would then
// start a "C:\Program.exe" instead of the service.
//
// Threading: called by the installer on one of its threads; keeps no state.
#include <windows.h>
#include <msi.h>

#include <cwchar>

#include "common/object_names.h"
#include "common/unique_resource.h"

namespace {

// The most a service's configuration takes (QueryServiceConfig's documented bound).
constexpr size_t kMaxConfigBytes = 8 * 1024;
constexpr size_t kConfigEntries = kMaxConfigBytes / sizeof(QUERY_SERVICE_CONFIGW) + 1;

bool QuoteImagePath() {
  halvaro::UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return false;
  halvaro::UniqueServiceHandle service(OpenServiceW(
      manager.get(), halvaro::kServiceName, SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG));
  if (!service) return false;
  QUERY_SERVICE_CONFIGW config[kConfigEntries] = {};
  DWORD needed = 0;
  if (!QueryServiceConfigW(service.get(), config, sizeof(config), &needed)) return false;
  const wchar_t* path = config[0].lpBinaryPathName;
  if (!path || !*path) return false;
  if (*path == L'"') return true;
  // The package gives the service no arguments: the whole text is the program's path, and
  // it lies within the configuration's bound.
  wchar_t quoted[kMaxConfigBytes / sizeof(wchar_t) + 3];
  const size_t length = std::wcslen(path);
  if (length + 3 > sizeof(quoted) / sizeof(quoted[0])) return false;
  quoted[0] = L'"';
  std::wmemcpy(quoted + 1, path, length);
  quoted[length + 1] = L'"';
  quoted[length + 2] = L'\0';
  return ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                              SERVICE_NO_CHANGE, quoted, nullptr, nullptr, nullptr, nullptr,
                              nullptr, nullptr) != FALSE;
}

}  // namespace

// Fails the installation (which rolls it back) when the path cannot be made safe.
extern "C" UINT WINAPI QuoteServiceImagePath(MSIHANDLE) {
  return QuoteImagePath() ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

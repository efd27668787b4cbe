// The installer package's custom action (halvaro.wxs) that quotes the service's image path.
// The installer writes the service program's path as the ServiceInstall table gives it, and
// some installers leave it unquoted; under "C:\Program Files\..." the manager would then
// start a "C:\Program.exe" instead of the service.
//
// Threading: called by the installer on one of its threads; keeps no state.
#include <windows.h>
#include <msi.h>

#include <string>

#include "common/object_names.h"
#include "common/service_config.h"
#include "common/unique_resource.h"

namespace {

bool QuoteImagePath() {
  halvaro::UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return false;
  halvaro::UniqueServiceHandle service(OpenServiceW(
      manager.get(), halvaro::kServiceName, SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG));
  if (!service) return false;
  std::wstring path;
  DWORD error = 0;
  if (!halvaro::QueryServiceCommandLine(service.get(), &path, &error) || path.empty()) {
    return false;
  }
  if (path[0] == L'"') return true;
  // The package gives the service no arguments: the whole text is the program's path.
  const std::wstring quoted = L"\"" + path + L"\"";
  return ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                              SERVICE_NO_CHANGE, quoted.c_str(), nullptr, nullptr, nullptr,
                              nullptr, nullptr, nullptr) != FALSE;
}

}  // namespace

// Fails the installation (which rolls it back) when the path cannot be made safe.
// No exception leaves the action: the installer would lose its custom action server.
extern "C" UINT WINAPI QuoteServiceImagePath(MSIHANDLE) {
  try {
    return QuoteImagePath() ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
  } catch (...) {
    return ERROR_INSTALL_FAILURE;
  }
}

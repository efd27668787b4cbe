// Entry point of the service program: "install" and "delete" from a command prompt,
// otherwise the service control dispatcher.
#include <windows.h>

#include "common/object_names.h"
#include "service/install.h"
#include "service/lifecycle.h"
#include "service/service_control.h"
#include "service/service_state.h"

int wmain(int argc, wchar_t** argv) {
  using namespace halvaro;
  if (argc > 1 && lstrcmpiW(argv[1], L"install") == 0) {
    InstallService();
    return 0;
  }
  if (argc > 1 && lstrcmpiW(argv[1], L"delete") == 0) RemoveService();

  wchar_t name[sizeof(kServiceName) / sizeof(kServiceName[0])];
  lstrcpyW(name, kServiceName);  // the table takes a writable string
  SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
  // Fails at once when not started by the service control manager.
  StartServiceCtrlDispatcherW(table);
  // The dispatcher returns once the service has reported itself stopped. After a stop the
  // teardown runs here, before the process ends; after a shutdown everything is left to the
  // end of the process.
  if (Service().lifecycle.stopping) StopSequence();
  return 0;
}

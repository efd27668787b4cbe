// Entry point of the service program: "install" and "delete" from a command prompt,
// otherwise the service control dispatcher.
#include <windows.h>

#include "common/object_names.h"
#include "service/install.h"
#include "service/service_control.h"
#include "service/service_state.h"

namespace {

constexpr DWORD kStopThreadWaitMs = 10000;

}  // namespace

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
  // The dispatcher returns once the service has reported itself stopped: after a stop, when
  // the teardown has finished and its thread is about to end; after a shutdown at once, and
  // a teardown under way then is given a while.
  Service().lifecycle.stop_thread.Stop(kStopThreadWaitMs);
  return 0;
}

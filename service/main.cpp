// Entry point of the service program: "install" and "delete" from a command prompt,
// otherwise the service control dispatcher.
#include <windows.h>

#include "common/object_names.h"
#include "service/install.h"
#include "service/service_control.h"
#include "service/service_state.h"

namespace {

constexpr DWORD kStopPathWaitMs = 10000;

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
  // The dispatcher can return once the service has reported itself stopped, while the
  // stop path still tears down on the control thread: let it finish first.
  Lifecycle& lifecycle = Service().lifecycle;
  if (lifecycle.stopping) WaitForSingleObject(lifecycle.stop_done.get(), kStopPathWaitMs);
  return 0;
}

#include "service/service_control.h"

#include <objbase.h>

#include "avboard/serial_link.h"
#include "service/hidden_window.h"
#include "service/lifecycle.h"
#include "service/service_state.h"
#include "service/status_report.h"

namespace halvaro {

namespace {

void StopService() {
  Service().stopping = true;
  // The manager learns at once that the service is stopped; the clean-up follows.
  ReportServiceStatusWithCheckpoint(SERVICE_STOP_PENDING, /*take_checkpoint=*/true);
  ReportServiceStatus(SERVICE_STOPPED);
  CloseSerialLink(Service().serial_link);
  StopSequence();
  SetEvent(Service().stop_done.get());
}

}  // namespace

void WINAPI ServiceControlHandler(DWORD control) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
      StopService();
      break;
    case SERVICE_CONTROL_PAUSE:
      // Carried out although not announced; the service's work goes on unchanged.
      ReportServiceStatus(SERVICE_PAUSED);
      break;
    case SERVICE_CONTROL_CONTINUE:
      ReportServiceStatus(SERVICE_RUNNING);
      break;
    case SERVICE_CONTROL_SHUTDOWN:
      // The system is going down: report and leave everything running.
      ReportServiceStatusWithCheckpoint(SERVICE_STOPPED, /*take_checkpoint=*/false);
      break;
    default:  // interrogation and every unknown code
      ReportServiceStatus(CurrentServiceState());
      break;
  }
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
  ServiceState& s = Service();
  InitServiceStatus();
  s.status_handle = RegisterServiceCtrlHandlerW(kServiceName, ServiceControlHandler);
  if (!s.status_handle) return;
  ReportServiceStatus(SERVICE_RUNNING);

  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return;
  CreateHiddenWindow();
  StartSequence();

  MSG message;
  // -1 (an error) does not end the loop; nothing posts WM_QUIT to this thread.
  while (GetMessageW(&message, nullptr, 0, 0) != 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

}  // namespace halvaro

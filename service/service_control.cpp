#include "service/service_control.h"

#include "common/com_apartment.h"
#include "common/object_names.h"
#include "common/unique_resource.h"
#include "service/event_log.h"
#include "service/hidden_window.h"
#include "service/lifecycle.h"
#include "service/service_state.h"
#include "service/status_report.h"

namespace halvaro {

namespace {

// The teardown, then the stopped report as its very last act: a process that has reported
// itself stopped may be ended at any time, and an installer may then replace its programs.
void TearDownAndReport() {
  {
    ComApartment apartment;  // the teardown releases the COM objects of the service
    StopSequence();
  }
  ReportServiceStatus(Service().status, SERVICE_STOPPED);
}

// The manager has its answer as soon as the handler returns; the teardown runs on a thread
// of its own. A handler that tore down itself would keep its caller waiting for the whole
// teardown and, where the dispatcher runs it on a thread of its own, could lose the answer
// to a process that ends right after it.
void StopService(ServiceState& s) {
  if (s.lifecycle.stopping.exchange(true)) return;  // already stopping
  ReportServiceStatusWithCheckpoint(s.status, SERVICE_STOP_PENDING, /*take_checkpoint=*/true);
  bool started = false;
  try {
    started = s.lifecycle.stop_thread.Start([](HANDLE) { TearDownAndReport(); });
  } catch (...) {
    // Out of memory: no thread; the teardown runs here.
  }
  if (started) return;
  try {
    TearDownAndReport();
  } catch (...) {
    // Nothing of the teardown is left to retry; the service still reports itself stopped.
    ReportServiceStatus(s.status, SERVICE_STOPPED);
  }
}

}  // namespace

void WINAPI ServiceControlHandler(DWORD control) {
  ServiceState& s = Service();
  switch (control) {
    case SERVICE_CONTROL_STOP:
      StopService(s);
      break;
    case SERVICE_CONTROL_PAUSE:
      // Carried out although not announced; the service's work goes on unchanged.
      ReportServiceStatus(s.status, SERVICE_PAUSED);
      break;
    case SERVICE_CONTROL_CONTINUE:
      ReportServiceStatus(s.status, SERVICE_RUNNING);
      break;
    case SERVICE_CONTROL_SHUTDOWN:
      // The system is going down: report and leave everything running.
      ReportServiceStatusWithCheckpoint(s.status, SERVICE_STOPPED, /*take_checkpoint=*/false);
      break;
    default:  // interrogation and every unknown code
      ReportServiceStatus(s.status, CurrentServiceState(s.status));
      break;
  }
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
  ServiceState& s = Service();
  InitServiceStatus(s.status);
  s.status.handle = RegisterServiceCtrlHandlerW(kServiceName, ServiceControlHandler);
  if (!s.status.handle) return;
  // Before the manager may send a stop (which closes it again) and before any thread that
  // reports exists.
  OpenEventLog(s.event_log);
  ReportServiceStatus(s.status, SERVICE_RUNNING);

  // The thread stays in the apartment, and the window exists, until the process ends: the
  // message loop below never ends, since nothing posts WM_QUIT to this thread.
  ComApartment apartment(COINIT_MULTITHREADED);
  if (!apartment.ok()) return;
  // The process's COM security, once, before any COM object is made: the WMI connection and
  // the audio endpoint rely on it (a second call would fail with RPC_E_TOO_LATE).
  CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                       RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
  UniqueWindow window = CreateHiddenWindow();
  s.lifecycle.hidden_window = window.get();
  StartSequence();

  MSG message;
  // -1 (an error) does not end the loop.
  while (GetMessageW(&message, nullptr, 0, 0) != 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

}  // namespace halvaro

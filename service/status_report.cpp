#include "service/status_report.h"

#include "service/service_state.h"

namespace halvaro {

namespace {

// Caller holds r.lock.
void Send(StatusRecord& r) {
  SERVICE_STATUS copy = r.status;
  if (r.sink) r.sink(r.handle, &copy);
}

DWORD TakeCheckpoint(StatusRecord& r) { return r.checkpoint++; }

// Caller holds r.lock. A problem shows only while the service runs: a stop is a stop.
void SetExitCodes(StatusRecord& r) {
  const DWORD state = r.status.dwCurrentState;
  const bool shown = r.problem != 0 && (state == SERVICE_RUNNING || state == SERVICE_PAUSED);
  r.status.dwWin32ExitCode = shown ? ERROR_SERVICE_SPECIFIC_ERROR : 0;
  r.status.dwServiceSpecificExitCode = shown ? r.problem : 0;
}

}  // namespace

void InitServiceStatus() {
  StatusRecord& s = Service().status;
  std::lock_guard<Lock> lock(s.lock);
  s.status = SERVICE_STATUS{};
  s.status.dwServiceType = kServiceType;
  s.status.dwCurrentState = SERVICE_START_PENDING;
  s.status.dwControlsAccepted = kControlsAccepted;
}

void ReportServiceStatus(DWORD state) {
  StatusRecord& s = Service().status;
  std::lock_guard<Lock> lock(s.lock);
  s.status.dwCurrentState = state;
  SetExitCodes(s);
  s.status.dwWaitHint = 0;
  if (state == SERVICE_START_PENDING) {
    s.status.dwControlsAccepted = 0;
    s.status.dwCheckPoint = TakeCheckpoint(s);
  } else {
    s.status.dwControlsAccepted = kControlsAccepted;
    s.status.dwCheckPoint =
        (state == SERVICE_RUNNING || state == SERVICE_STOPPED) ? 0 : TakeCheckpoint(s);
  }
  Send(s);
}

void ReportServiceStatusWithCheckpoint(DWORD state, bool take_checkpoint) {
  StatusRecord& s = Service().status;
  std::lock_guard<Lock> lock(s.lock);
  s.status.dwCurrentState = state;
  s.status.dwControlsAccepted = kControlsAccepted;
  SetExitCodes(s);  // only stop states come here: both codes 0
  s.status.dwWaitHint = 0;
  s.status.dwCheckPoint = take_checkpoint ? TakeCheckpoint(s) : 0;
  Send(s);
}

void ReportServiceProblem(DWORD problem) {
  StatusRecord& s = Service().status;
  std::lock_guard<Lock> lock(s.lock);
  s.problem = problem;
  const DWORD state = s.status.dwCurrentState;
  if (state != SERVICE_RUNNING && state != SERVICE_PAUSED) return;
  SetExitCodes(s);
  Send(s);
}

DWORD CurrentServiceState() {
  StatusRecord& s = Service().status;
  std::lock_guard<Lock> lock(s.lock);
  return s.status.dwCurrentState;
}

}  // namespace halvaro

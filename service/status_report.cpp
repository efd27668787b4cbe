#include "service/status_report.h"

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

void InitServiceStatus(StatusRecord& r) {
  std::lock_guard<Lock> lock(r.lock);
  r.status = SERVICE_STATUS{};
  r.status.dwServiceType = kServiceType;
  r.status.dwCurrentState = SERVICE_START_PENDING;
  r.status.dwControlsAccepted = kControlsAccepted;
}

void ReportServiceStatus(StatusRecord& r, DWORD state) {
  std::lock_guard<Lock> lock(r.lock);
  r.status.dwCurrentState = state;
  SetExitCodes(r);
  r.status.dwWaitHint = 0;
  if (state == SERVICE_START_PENDING) {
    r.status.dwControlsAccepted = 0;
    r.status.dwCheckPoint = TakeCheckpoint(r);
  } else {
    r.status.dwControlsAccepted = kControlsAccepted;
    r.status.dwCheckPoint =
        (state == SERVICE_RUNNING || state == SERVICE_STOPPED) ? 0 : TakeCheckpoint(r);
  }
  Send(r);
}

void ReportServiceStatusWithCheckpoint(StatusRecord& r, DWORD state, bool take_checkpoint) {
  std::lock_guard<Lock> lock(r.lock);
  r.status.dwCurrentState = state;
  r.status.dwControlsAccepted = kControlsAccepted;
  SetExitCodes(r);  // only stop states come here: both codes 0
  r.status.dwWaitHint = 0;
  r.status.dwCheckPoint = take_checkpoint ? TakeCheckpoint(r) : 0;
  Send(r);
}

void ReportServiceProblem(StatusRecord& r, DWORD problem) {
  std::lock_guard<Lock> lock(r.lock);
  r.problem = problem;
  const DWORD state = r.status.dwCurrentState;
  if (state != SERVICE_RUNNING && state != SERVICE_PAUSED) return;
  SetExitCodes(r);
  Send(r);
}

DWORD CurrentServiceState(StatusRecord& r) {
  std::lock_guard<Lock> lock(r.lock);
  return r.status.dwCurrentState;
}

}  // namespace halvaro

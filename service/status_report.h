// Status reports to the service control manager.
//
// Threading: callable from any thread; the record and the checkpoint counter are guarded by
// StatusRecord::lock, a leaf lock (nothing else is taken while it is held).
#pragma once

#include <windows.h>

#include <cstdint>
#include <mutex>

#include "common/locks.h"

namespace halvaro {

using StatusSink = BOOL(WINAPI*)(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS);

// What the service reports to the service control manager.
struct StatusRecord {
  Lock lock{LockRank::kStatusRecord};
  SERVICE_STATUS status{};                // guarded by lock
  uint32_t checkpoint = 1;                // guarded by lock; never reset
  DWORD problem = 0;                      // guarded by lock; common/service_problem.h
  SERVICE_STATUS_HANDLE handle = nullptr;  // set once before the first report
  StatusSink sink = &::SetServiceStatus;  // where reports go; set before the first one
};

constexpr DWORD kServiceType = 0x30;       // both process-type bits, as the manager has seen
constexpr DWORD kControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;

// Fills the record for `state` (pending states take the next checkpoint) and reports it.
void ReportServiceStatus(StatusRecord& record, DWORD state);

// Records `problem` (common/service_problem.h), which every report of the running or
// paused state carries from now on, and reports it at once when the service is in one.
void ReportServiceProblem(StatusRecord& record, DWORD problem);

// The record's current state.
DWORD CurrentServiceState(StatusRecord& record);

// Puts the record in its first state, START_PENDING, without reporting it.
void InitServiceStatus(StatusRecord& record);

// Sets the record to `state` with `checkpoint` and reports it, used by the stop and
// shutdown controls whose reports differ from the general rule.
void ReportServiceStatusWithCheckpoint(StatusRecord& record, DWORD state, bool take_checkpoint);

}  // namespace halvaro

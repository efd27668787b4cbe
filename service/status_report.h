// Status reports to the service control manager.
//
// Threading: callable from any thread; the status record and checkpoint counter are guarded
// by ServiceState::status_lock.
#pragma once

#include <windows.h>

namespace halvaro {

constexpr DWORD kServiceType = 0x30;       // both process-type bits, as the manager has seen
constexpr DWORD kControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;

// Fills the record for `state` (pending states take the next checkpoint) and reports it.
void ReportServiceStatus(DWORD state);

// The record's current state.
DWORD CurrentServiceState();

// Puts the record in its first state, START_PENDING, without reporting it.
void InitServiceStatus();

// Sets the record to `state` with `checkpoint` and reports it, used by the stop and
// shutdown controls whose reports differ from the general rule.
void ReportServiceStatusWithCheckpoint(DWORD state, bool take_checkpoint);

}  // namespace halvaro

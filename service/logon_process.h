// The logon process whose token the companion Merrowin is started with: a "WINLOGON.EXE" in
// the console session that runs as LocalSystem. Any user can start a program of that name;
// only the system's own logon process runs as LocalSystem.
//
// Threading: reentrant.
#pragma once

#include <windows.h>

#include <vector>

namespace halvaro {

struct LogonCandidate {
  DWORD process_id = 0;
  DWORD session_id = 0;
  bool local_system = false;
};

// The first candidate (in snapshot order) in `console_session` that runs as LocalSystem;
// 0 when there is none.
DWORD ChooseLogonProcess(const std::vector<LogonCandidate>& candidates, DWORD console_session);

// Every "WINLOGON.EXE" of a process snapshot, as a candidate; then the choice for the session
// attached to the console now. 0 when none qualifies.
DWORD FindLogonProcess();

}  // namespace halvaro

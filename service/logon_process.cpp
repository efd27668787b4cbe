#include "service/logon_process.h"

#include <shlwapi.h>

#include "common/object_names.h"
#include "common/token_sid.h"
#include "common/unique_resource.h"
#include "service/process_snapshot.h"

namespace halvaro {

namespace {

bool RunsAsLocalSystem(DWORD process_id) {
  UniqueHandle process(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, process_id));
  const UniqueHandle token = QueryToken(process.get());
  const TokenSid user(token.get(), TokenUser);
  return user.get() && IsWellKnownSid(user.get(), WinLocalSystemSid);
}

}  // namespace

DWORD ChooseLogonProcess(const std::vector<LogonCandidate>& candidates, DWORD console_session) {
  for (const LogonCandidate& candidate : candidates) {
    if (candidate.session_id == console_session && candidate.local_system) {
      return candidate.process_id;
    }
  }
  return 0;
}

DWORD FindLogonProcess() {
  std::vector<LogonCandidate> candidates;
  try {
    ForEachProcess([&candidates](const PROCESSENTRY32W& entry) {
      if (StrCmpIW(entry.szExeFile, kWinlogonImage) != 0) return true;
      LogonCandidate candidate;
      candidate.process_id = entry.th32ProcessID;
      if (!ProcessIdToSessionId(entry.th32ProcessID, &candidate.session_id)) return true;
      candidate.local_system = RunsAsLocalSystem(entry.th32ProcessID);
      candidates.push_back(candidate);
      return true;
    });
  } catch (...) {
    return 0;  // out of memory: no token, as without a logon process
  }
  return ChooseLogonProcess(candidates, WTSGetActiveConsoleSessionId());
}

}  // namespace halvaro

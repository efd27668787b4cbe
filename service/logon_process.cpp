#include "service/logon_process.h"

#include <shlwapi.h>

#include "common/object_names.h"
#include "common/unique_resource.h"
#include "service/process_snapshot.h"

namespace halvaro {

namespace {

bool RunsAsLocalSystem(DWORD process_id) {
  UniqueHandle process(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, process_id));
  HANDLE token = nullptr;
  if (!process || !OpenProcessToken(process.get(), TOKEN_QUERY, &token)) return false;
  UniqueHandle owned_token(token);
  union {
    TOKEN_USER user;
    BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  } info;
  DWORD size = 0;
  if (!GetTokenInformation(owned_token.get(), TokenUser, &info, sizeof(info), &size)) {
    return false;
  }
  return IsWellKnownSid(info.user.User.Sid, WinLocalSystemSid) != FALSE;
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

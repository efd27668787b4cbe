#include "service/companions.h"

#include <shlwapi.h>

#include <string>

#include "common/object_names.h"
#include "common/own_directory.h"
#include "common/unique_resource.h"
#include "service/logon_process.h"
#include "service/process_snapshot.h"
#include "service/service_state.h"

namespace halvaro {

namespace {

// The program's own directory plus `image`, or empty when it would not fit in MAX_PATH.
std::wstring BesideService(const wchar_t* image) {
  std::wstring path = OwnDirectory();
  if (path.empty()) return path;
  path += image;
  if (path.size() >= MAX_PATH) path.clear();
  return path;
}

// Each step runs with what the one before left, null included: the launch is attempted
// even without a token.
UniqueHandle PrimaryTokenOf(DWORD process_id) {
  UniqueHandle process(OpenProcess(MAXIMUM_ALLOWED, FALSE, process_id));
  HANDLE token = nullptr;
  OpenProcessToken(process.get(), MAXIMUM_ALLOWED, &token);
  UniqueHandle owned_token(token);
  HANDLE primary = nullptr;
  DuplicateTokenEx(owned_token.get(), MAXIMUM_ALLOWED, nullptr, SecurityIdentification,
                   TokenPrimary, &primary);
  return UniqueHandle(primary);
}

void CloseProcessInformation(PROCESS_INFORMATION& info) {
  UniqueHandle process(info.hProcess);
  UniqueHandle thread(info.hThread);
}

bool IsCompanion(const wchar_t* image) {
  for (const wchar_t* companion : kCompanionImages) {
    if (StrCmpIW(image, companion) == 0) return true;
  }
  return false;
}

}  // namespace

void StartMerrowin() {
  UniqueHandle token = PrimaryTokenOf(FindLogonProcess());
  const std::wstring path = BesideService(kMerrowinImage);
  if (path.empty()) return;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION info = {};
  CreateProcessAsUserW(token.get(), path.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr,
                       nullptr, &startup, &info);
  CloseProcessInformation(info);
}

void StartAgent() {
  const std::wstring path = BesideService(kAgentImage);
  if (path.empty()) return;
  // The application name fixes the program; the quoted command line only gives it its
  // usual first argument.
  std::wstring command_line = L"\"" + path + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  CreateProcessW(path.c_str(), &command_line[0], nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE,
                 nullptr, nullptr, &startup, &info);
  CloseProcessInformation(info);
}

void StopCompanions() {
  HWND agent = FindWindowW(kAgentWindowClass, kAgentWindowTitle);
  Service().companions.agent_window = agent;
  if (agent) PostMessageW(agent, WM_QUIT, 0, 0);  // the agent ends by itself

  DWORD exit_code = 0;  // keeps the last value read when a read fails
  ForEachProcess([&exit_code](const PROCESSENTRY32W& entry) {
    if (!IsCompanion(entry.szExeFile)) return true;
    // Only the rights that ending it takes: NT 5.x refuses the whole request when it holds
    // the newer systems' wider all-access mask, and the companion would never end.
    UniqueHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_INFORMATION,
                                     FALSE, entry.th32ProcessID));
    if (!process) return true;
    GetExitCodeProcess(process.get(), &exit_code);
    TerminateProcess(process.get(), exit_code);
    return true;
  });
}

void PostQuitToForeignMixerWindow() {
  if (HWND window = FindWindowW(kForeignMixerWindowClass, kForeignMixerWindowTitle)) {
    PostMessageW(window, WM_QUIT, 0, 0);
  }
}

}  // namespace halvaro

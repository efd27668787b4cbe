#include "service/companions.h"

#include <shlwapi.h>

#include <mutex>
#include <string>

#include "common/object_names.h"
#include "common/own_directory.h"
#include "common/tick_deadline.h"
#include "common/unique_resource.h"
#include "service/event_log.h"
#include "service/event_messages.h"
#include "service/logon_process.h"
#include "service/process_snapshot.h"

namespace halvaro {

namespace {

// An agent makes its window once its mixer is open, and ends once it has closed it, each
// normally within milliseconds.
constexpr DWORD kAgentWindowWaitMs = 2000;
constexpr DWORD kAgentExitWaitMs = 2000;
constexpr DWORD kAgentWindowPollMs = 20;

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

HWND FindAgentWindow() { return FindWindowW(kAgentWindowClass, kAgentWindowTitle); }

// The window of the agent `process`, waited for while that process runs and has none yet.
// Null when the process ended (a second agent ends at once) or the wait ran out.
HWND AwaitAgentWindow(HANDLE process) {
  const TickDeadline deadline = TickDeadline::After(kAgentWindowWaitMs);
  for (;;) {
    if (HWND window = FindAgentWindow()) return window;
    const DWORD left = deadline.Remaining();
    if (left == 0) return nullptr;
    if (WaitForSingleObject(process, left < kAgentWindowPollMs ? left : kAgentWindowPollMs) !=
        WAIT_TIMEOUT) {
      return FindAgentWindow();  // ended (or the handle failed): one last look
    }
  }
}

// `path` is empty when the program's path would not fit.
void ReportNotStarted(DWORD message_id, const std::wstring& path, const wchar_t* image,
                      DWORD error) {
  LogEvent(message_id,
           {path.empty() ? image : path.c_str(), EventNumber::Decimal(error).c_str()});
}

}  // namespace

void StartMerrowin() {
  UniqueHandle token = PrimaryTokenOf(FindLogonProcess());
  const std::wstring path = BesideService(kMerrowinImage);
  if (path.empty()) {
    ReportNotStarted(MSG_COMPANION_NOT_STARTED, path, kMerrowinImage, ERROR_FILENAME_EXCED_RANGE);
    return;
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessAsUserW(token.get(), path.c_str(), nullptr, nullptr, nullptr, FALSE, 0,
                            nullptr, nullptr, &startup, &info)) {
    ReportNotStarted(MSG_COMPANION_NOT_STARTED, path, kMerrowinImage, GetLastError());
  }
  CloseProcessInformation(info);
}

void StartAgent(Companions& companions) {
  const std::wstring path = BesideService(kAgentImage);
  if (path.empty()) {
    ReportNotStarted(MSG_AGENT_NOT_STARTED, path, kAgentImage, ERROR_FILENAME_EXCED_RANGE);
    return;
  }
  // The application name fixes the program; the quoted command line only gives it its
  // usual first argument.
  std::wstring command_line = L"\"" + path + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(path.c_str(), &command_line[0], nullptr, nullptr, FALSE,
                      CREATE_NEW_CONSOLE, nullptr, nullptr, &startup, &info)) {
    ReportNotStarted(MSG_AGENT_NOT_STARTED, path, kAgentImage, GetLastError());
  }
  UniqueHandle thread(info.hThread);
  std::lock_guard<Lock> guard(companions.agent_lock);
  companions.agent_process.reset(info.hProcess);  // kept for the stop; null when it failed
}

void StopCompanions(Companions& companions) {
  UniqueHandle started;  // released by every stop
  {
    std::lock_guard<Lock> guard(companions.agent_lock);
    started = std::move(companions.agent_process);
  }
  HWND agent = FindAgentWindow();
  if (!agent && started) agent = AwaitAgentWindow(started.get());
  if (agent) {
    // The agent ends by itself. Until it has, it keeps its mutex: an agent that a quick
    // restart starts meanwhile would give way to it, and none would be left.
    DWORD agent_id = 0;
    GetWindowThreadProcessId(agent, &agent_id);
    UniqueHandle quitting(OpenProcess(SYNCHRONIZE, FALSE, agent_id));
    if (PostMessageW(agent, WM_QUIT, 0, 0) && quitting) {
      WaitForSingleObject(quitting.get(), kAgentExitWaitMs);
    }
  }

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

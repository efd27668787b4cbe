// The service's side of the agent, for the agent's tests.
//
//   AgentProbe.exe event         creates "Global\MIXER_NOTIFY_EVENT" as the service does,
//                                prints "ready", then "set" each time the event is set,
//                                until stdin ends
//   AgentProbe.exe post quit|close   WM_QUIT or WM_CLOSE to the agent's window; exit 1
//                                    when there is no such window
//   AgentProbe.exe find          exit 0 when the agent's window exists, 1 otherwise
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "common/joinable_thread.h"
#include "common/object_names.h"
#include "common/unique_resource.h"

namespace {

int WatchEvent() {
  halvaro::UniqueHandle event(CreateEventW(nullptr, FALSE, FALSE, halvaro::kMixerNotifyEventName));
  if (!event) return 1;
  std::puts("ready");
  std::fflush(stdout);
  // stdin ending is the signal to stop.
  halvaro::UniqueHandle stdin_closed(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  halvaro::JoinableThread reader([&stdin_closed] {
    char drain[64];
    DWORD read = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), drain, sizeof(drain), &read, nullptr) &&
           read != 0) {
    }
    SetEvent(stdin_closed.get());
  });
  const HANDLE waits[] = {stdin_closed.get(), event.get()};
  while (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
    std::puts("set");
    std::fflush(stdout);
  }
  reader.join();
  return 0;
}

int Post(UINT message) {
  HWND window = FindWindowW(halvaro::kAgentWindowClass, halvaro::kAgentWindowTitle);
  if (!window || !PostMessageW(window, message, 0, 0)) return 1;
  std::puts("posted");
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 2 && std::wcscmp(argv[1], L"event") == 0) return WatchEvent();
  if (argc == 2 && std::wcscmp(argv[1], L"find") == 0) {
    return FindWindowW(halvaro::kAgentWindowClass, halvaro::kAgentWindowTitle) ? 0 : 1;
  }
  if (argc == 3 && std::wcscmp(argv[1], L"post") == 0) {
    if (std::wcscmp(argv[2], L"quit") == 0) return Post(WM_QUIT);
    if (std::wcscmp(argv[2], L"close") == 0) return Post(WM_CLOSE);
  }
  std::fputs("usage: AgentProbe.exe event | find | post quit|close\n", stderr);
  return 2;
}

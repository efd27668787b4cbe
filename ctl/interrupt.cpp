#include "ctl/interrupt.h"

#include <atomic>

namespace halvaro::ctl {

namespace {

// A close gives the program about 5 s before the system ends it.
constexpr DWORD kCloseGraceMs = 4000;

std::atomic<HANDLE> g_interrupted{nullptr};
std::atomic<HANDLE> g_finished{nullptr};

BOOL WINAPI OnControl(DWORD event) {
  const HANDLE interrupted = g_interrupted.load();
  if (!interrupted) return FALSE;
  SetEvent(interrupted);
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    const HANDLE finished = g_finished.load();
    if (finished) WaitForSingleObject(finished, kCloseGraceMs);
  }
  return TRUE;
}

}  // namespace

InterruptEvent::InterruptEvent()
    : interrupted_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      finished_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  if (!interrupted_ || !finished_) return;
  g_interrupted = interrupted_.get();
  g_finished = finished_.get();
  installed_ = SetConsoleCtrlHandler(OnControl, TRUE) != FALSE;
  if (!installed_) g_interrupted = g_finished = nullptr;
}

InterruptEvent::~InterruptEvent() {
  Finished();
  if (installed_) SetConsoleCtrlHandler(OnControl, FALSE);
  g_interrupted = nullptr;
  g_finished = nullptr;
}

}  // namespace halvaro::ctl

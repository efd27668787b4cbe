#include "ctl/interrupt.h"

#include <mutex>

#include "common/locks.h"

namespace halvaro::ctl {

namespace {

// A close gives the program about 5 s before the system ends it.
constexpr DWORD kCloseGraceMs = 4000;

// The handler runs on a thread of its own and may still be running when the InterruptEvent
// goes: it uses the events only under the lock, and the destructor takes it to clear them
// before they are closed.
Lock g_lock;
HANDLE g_interrupted = nullptr;  // under g_lock; null while no InterruptEvent is installed
HANDLE g_finished = nullptr;     // under g_lock

void Publish(HANDLE interrupted, HANDLE finished) {
  std::lock_guard<Lock> guard(g_lock);
  g_interrupted = interrupted;
  g_finished = finished;
}

BOOL WINAPI OnControl(DWORD event) {
  std::lock_guard<Lock> guard(g_lock);
  const bool handled = g_interrupted != nullptr;
  if (handled) {
    SetEvent(g_interrupted);
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT ||
        event == CTRL_SHUTDOWN_EVENT) {
      // Finished() is called before the destructor waits for this lock, so this ends first.
      WaitForSingleObject(g_finished, kCloseGraceMs);
    }
  }
  return handled ? TRUE : FALSE;
}

}  // namespace

InterruptEvent::InterruptEvent()
    : interrupted_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      finished_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  if (!interrupted_ || !finished_) return;
  Publish(interrupted_.get(), finished_.get());
  installed_ = SetConsoleCtrlHandler(OnControl, TRUE) != FALSE;
  if (!installed_) {
    const DWORD error = GetLastError();
    Publish(nullptr, nullptr);
    SetLastError(error);
  }
}

InterruptEvent::~InterruptEvent() {
  if (!installed_) return;
  Finished();
  SetConsoleCtrlHandler(OnControl, FALSE);
  Publish(nullptr, nullptr);  // waits for a handler that is using the events
}

}  // namespace halvaro::ctl

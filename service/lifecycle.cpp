#include "service/lifecycle.h"

#include "avboard/av_commands.h"
#include "service/event_listener.h"
#include "service/hidden_window.h"
#include "service/optical_drive.h"
#include "service/service_state.h"
#include "service/settings.h"
#include "service/subscription_pipe.h"

#include <chrono>

namespace halvaro {

namespace {

// Longer than any start step can take once the serial link is closed under it.
constexpr auto kStartSequenceWait = std::chrono::seconds(5);

}  // namespace

uint32_t StartSequence() {
  ServiceState& s = Service();
  std::lock_guard<std::timed_mutex> running(s.lifecycle_lock);
  InitializeCriticalSection(&s.listener_lock);
  s.listener_lock_ready = true;
  ClearListenerStatus();
  ReadSettings();
  StartSubscriptionListener(0);
  // The hotkey callback stays unset until the hotkey actions exist: every code then
  // wakes the subscribers.

  // The AV board: the link stays closed for the life of the service if it cannot be opened,
  // and the board counts as present whether or not it answered the query.
  s.serial_link.port_number = static_cast<int32_t>(s.com_port);
  s.serial_link.baud_rate = s.baud_rate;
  OpenSerialLinkWithRetry(s.serial_link);
  QueryBoard(s.serial_link);
  s.av_board_present = 1;
  RefreshDiscState();
  SetTimer(s.hidden_window, kDiscPollTimerId, 1000, nullptr);
  if (!s.stopping) StartEventListener();
  return 1;
}

void StopSequence() {
  ServiceState& s = Service();
  // A stop that comes during the start waits for it: the serial link is closed by now,
  // so the remaining steps pass quickly, and the event listener is left out.
  std::unique_lock<std::timed_mutex> started(s.lifecycle_lock, kStartSequenceWait);
  if (!started.owns_lock()) return;  // a hung start: the end of the process cleans up

  CloseSerialLink(s.serial_link);  // in case the start opened it after the stop closed it
  ClearListenerStatus();
  // No connection thread may call StartEventListener once the listener is torn down.
  StopSubscriptionListener();
  const bool listener_ended = StopEventListener();
  if (listener_ended && s.listener_lock_ready) {
    s.listener_lock_ready = false;
    DeleteCriticalSection(&s.listener_lock);
  }
}

}  // namespace halvaro

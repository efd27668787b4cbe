#include "service/lifecycle.h"

#include "avboard/av_commands.h"
#include "service/hidden_window.h"
#include "service/optical_drive.h"
#include "service/service_state.h"
#include "service/settings.h"

namespace halvaro {

uint32_t StartSequence() {
  ServiceState& s = Service();
  InitializeCriticalSection(&s.listener_lock);
  s.listener_lock_ready = true;
  ClearListenerStatus();
  ReadSettings();

  // The AV board: the link stays closed for the life of the service if it cannot be opened,
  // and the board counts as present whether or not it answered the query.
  s.serial_link.port_number = static_cast<int32_t>(s.com_port);
  s.serial_link.baud_rate = s.baud_rate;
  OpenSerialLinkWithRetry(s.serial_link);
  QueryBoard(s.serial_link);
  s.av_board_present = 1;
  RefreshDiscState();
  SetTimer(s.hidden_window, kDiscPollTimerId, 1000, nullptr);
  return 1;
}

void StopSequence() {
  ServiceState& s = Service();
  ClearListenerStatus();
  if (s.listener_lock_ready) {
    s.listener_lock_ready = false;
    DeleteCriticalSection(&s.listener_lock);
  }
}

}  // namespace halvaro

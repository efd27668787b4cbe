#include "service/board_reconnect.h"

#include "avboard/av_commands.h"
#include "common/com_apartment.h"
#include "service/hidden_window.h"
#include "service/service_state.h"
#include "service/volume_mirror.h"

namespace halvaro {

namespace {

void GreetReturningBoard(HANDLE stop_event) {
  ServiceState& s = Service();
  QueryBoard(s.serial_link);  // a stop cuts it short: the retired link ends its exchange
  if (WaitForSingleObject(stop_event, 0) != WAIT_TIMEOUT) return;
  // The disc state belongs to the service main thread: it sends it from there. (Without the
  // window the board learns the disc state at its next change.)
  if (const HWND window = s.lifecycle.hidden_window) {
    PostMessageW(window, kBoardBackMessage, 0, 0);
  }
  SendCurrentVolume();
}

}  // namespace

void BoardReconnectThread(HANDLE stop_event) {
  ComApartment apartment;  // the greeting reads the mute through the volume monitor
  ServiceState& s = Service();
  HANDLE waits[] = {stop_event, s.board_reconnect.check_now.get()};
  for (;;) {
    const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, kBoardReconnectPeriodMs);
    if (woke == WAIT_OBJECT_0 || woke == WAIT_FAILED) return;
    // An unplug is noticed even while nothing is sent: the driver is asked, the line is not.
    CheckSerialLink(s.serial_link);
    if (ReopenLostSerialLink(s.serial_link)) GreetReturningBoard(stop_event);
  }
}

void StartBoardReconnect() {
  BoardReconnect& r = Service().board_reconnect;
  if (!r.check_now) return;  // without it every wait would fail at once
  r.thread.Start(BoardReconnectThread);
}

bool StopBoardReconnect(DWORD timeout_ms) {
  return Service().board_reconnect.thread.Stop(timeout_ms);
}

void RequestBoardCheck() {
  BoardReconnect& r = Service().board_reconnect;
  if (r.check_now) SetEvent(r.check_now.get());
}

}  // namespace halvaro

#include "service/board_reconnect.h"

#include "avboard/av_commands.h"
#include "common/com_apartment.h"
#include "service/event_log.h"
#include "service/event_messages.h"
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
    // A port lost under a transfer of another thread is seen here too, before it is opened.
    if (s.serial_link.lost()) ReportBoardPort(false);
    if (ReopenLostSerialLink(s.serial_link)) {
      ReportBoardPort(true);
      GreetReturningBoard(stop_event);
    }
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

void ReportBoardPort(bool open) {
  ServiceState& s = Service();
  const EventNumber port = EventNumber::Decimal(static_cast<uint32_t>(s.serial_link.port_number));
  switch (s.board_reconnect.port_health.Note(open)) {
    case HealthChange::kFailedAtFirst:
      LogEvent(MSG_BOARD_ABSENT_AT_START,
               {port.c_str(), EventNumber::Decimal(s.serial_link.open_error).c_str()});
      break;
    case HealthChange::kFailed:
      LogEvent(MSG_BOARD_LOST, {port.c_str()});
      break;
    case HealthChange::kRecovered:
      LogEvent(MSG_BOARD_BACK, {port.c_str()});
      break;
    case HealthChange::kNone:
      break;
  }
}

void RequestBoardCheck() {
  BoardReconnect& r = Service().board_reconnect;
  if (r.check_now) SetEvent(r.check_now.get());
}

}  // namespace halvaro

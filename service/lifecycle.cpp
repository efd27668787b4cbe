#include "service/lifecycle.h"

#include <chrono>

#include "avboard/av_commands.h"
#include "common/product_version.h"
#include "service/av_command_pipe.h"
#include "service/board_reconnect.h"
#include "service/companions.h"
#include "service/event_log.h"
#include "service/event_messages.h"
#include "service/event_listener.h"
#include "service/hotkey_actions.h"
#include "service/hidden_window.h"
#include "service/optical_drive.h"
#include "service/service_volume.h"
#include "service/service_state.h"
#include "service/settings.h"
#include "service/subscription_pipe.h"
#include "service/volume_mirror.h"

namespace halvaro {

namespace {

// Longer than any start step can take once the serial link is closed under it.
constexpr auto kStartSequenceWait = std::chrono::seconds(5);
// A connection's handler may be in one board transfer when the stop comes.
constexpr DWORD kPipeStopWaitMs = kTransferTimeoutMs + 2000;
// An eject cannot be cancelled; a drive normally answers within a few seconds.
constexpr DWORD kEjectStopWaitMs = 5000;
// The reconnection is in one open or one board exchange, which the retired link cuts short.
constexpr DWORD kBoardReconnectStopWaitMs = kTransferTimeoutMs + 2000;

const wchar_t* BackendName(uint32_t kind) {
  switch (kind) {
    case kEndpointBackend: return L"audio endpoint";
    case kMixerBackend: return L"waveform mixer";
    default: return L"none (no volume device found)";
  }
}

void ReportStart(const ServiceState& s) {
  LogEvent(MSG_SERVICE_STARTED,
           {L"" HALVARO_VERSION_TEXT, EventNumber::Decimal(s.settings.max_subscribers).c_str(),
            EventNumber::Decimal(s.settings.com_port).c_str(),
            EventNumber::Decimal(s.settings.baud_rate).c_str(),
            EventNumber::Decimal(s.settings.cmd_time_frame).c_str(),
            BackendName(s.volume.monitor_kind)});
}

}  // namespace

uint32_t StartSequence() {
  ServiceState& s = Service();
  std::lock_guard<TimedLock> running(s.lifecycle.lock);
  ClearListenerStatus();
  ReadSettings(s.settings);
  if (!s.lifecycle.stopping) StartMerrowin();
  StartSubscriptionListener(s.subscription_pipe, 0);
  StartAvCommandListener(s.av_command_pipe, 0, s.volume, s.serial_link);

  // The AV board: the link stays closed for the life of the service if it cannot be opened,
  // and the board counts as present whether or not it answered the query.
  s.serial_link.port_number = static_cast<int32_t>(s.settings.com_port);
  s.serial_link.baud_rate = s.settings.baud_rate;
  if (!OpenSerialLinkWithRetry(s.serial_link) && !s.lifecycle.stopping) ReportBoardPort(false);
  if (s.serial_link.open()) ReportBoardPort(true);
  QueryBoard(s.serial_link);
  s.av_board_present = 1;
  RefreshDiscState(s.drive, s.serial_link, s.av_board_present != 0);
  SetTimer(s.lifecycle.hidden_window, kDiscPollTimerId, 1000, nullptr);

  // The master volume: the board starts from the volume at start, 0 while muted.
  OpenServiceVolume(s.volume);
  if (!s.lifecycle.stopping) ReportStart(s);
  StartVolumeMirror();
  // The agent wakes the mirror's waiter; a stop that has begun would not end it any more.
  if (s.volume.monitor_kind == kMixerBackend && !s.lifecycle.stopping) StartAgent(s.companions);
  SendCurrentVolume();
  // From here on a port that fails, or was never there, is opened again when it is back.
  if (!s.lifecycle.stopping) StartBoardReconnect();
  // A start that failed (the provider not up yet) is tried again until it succeeds.
  if (!s.lifecycle.stopping && !StartEventListener()) StartListenerRetry();
  return 1;
}

// The teardown of a stop request, after the service has been reported stopped. Each object
// is released only once every thread that uses it has ended.
void StopSequence() {
  ServiceState& s = Service();

  // 1. Mixer machines: the foreign notification window is asked to quit.
  if (s.volume.monitor_kind == kMixerBackend) PostQuitToForeignMixerWindow();

  // 2. The serial port, for good: a start still talking to the board gives up at its next
  //    transfer, and nothing opens the port again. Client programs may take it at once.
  RetireSerialLink(s.serial_link);

  // 3. The agent is asked to quit and the companions are ended.
  StopCompanions(s.companions);

  // 4. A start still in progress finishes first (it leaves out the steps that remain once it
  //    sees the stop). It may have started a program after step 3: end those too. A start
  //    that hangs is left to the end of the process.
  std::unique_lock<TimedLock> started(s.lifecycle.lock, std::try_to_lock);
  if (!started.owns_lock()) {
    if (!started.try_lock_for(kStartSequenceWait)) {
      LogEvent(MSG_SERVICE_STOPPED);  // the event source stays for the end of the process
      return;
    }
    StopCompanions(s.companions);
  }

  // 5. The pipe servers: afterwards no connection thread subscribes, reads the event code,
  //    starts the event listener or talks to the board.
  const bool subscription_pipe_ended = s.subscription_pipe.server.Stop(kPipeStopWaitMs);
  const bool av_command_pipe_ended = s.av_command_pipe.server.Stop(kPipeStopWaitMs);

  // 5a. The board's reconnection, which reads the volume through the monitor.
  const bool reconnect_ended = StopBoardReconnect(kBoardReconnectStopWaitMs);

  // 6. The event listener: its retry and EventThread end before the connection is released.
  const bool listener_ended = StopEventListener();

  // 7. Eject threads: waited for, so that none runs into what follows.
  s.drive.eject_threads.StopAll(kEjectStopWaitMs);

  // 8. The keep-awake request of the AV mode, which only EventThread touches otherwise.
  if (listener_ended) ReleaseKeepAwake();

  // 9. The volume mirror, then the monitor once nothing can call it any more: its own
  //    destruction ends its watcher and window threads and withdraws its notifications.
  //    An EventThread that did not end may still be in a volume key: the monitor then stays
  //    for the end of the process.
  const bool mirror_ended = StopVolumeMirror();
  if (mirror_ended && listener_ended && reconnect_ended) {
    s.volume.published.store(nullptr, std::memory_order_release);
    s.volume.monitor.reset();
  }

  // 10. "CurrentServiceMode", once nothing that writes it is left running.
  ClearListenerStatus();

  // 11. The stop's entry, then the event source once no thread that reports is left: the
  //     start sequence, the pipe listeners, the reconnection, the listener and its retry.
  LogEvent(MSG_SERVICE_STOPPED);
  if (subscription_pipe_ended && av_command_pipe_ended && reconnect_ended && listener_ended) {
    CloseEventLog(s.event_log);
  }
}

}  // namespace halvaro

// The one process-wide record of the service: an aggregate of the sub-records that each
// subsystem declares in its own header, with the lock and threads that go with it.
//
// Threading: each sub-record's header states its contract; single 32-bit fields read and
// written by several threads are std::atomic, and every other shared field names its lock.
// Settings are written once by the start sequence before any thread that reads them starts.
//
// Lock order. A thread may take a lock while it holds only locks listed above it. Each lock
// is built with its rank (common/lock_rank.h, the same order), and the debug build checks
// every take against it: the first violation names both locks and ends the process.
//   1. Lifecycle::lock          the whole start sequence; the stop path waits for it
//   2. EventListener::lock      StartEventListener, StopEventListener
//   3. VolumeMonitor's backend lock, then its watcher call lock or MixerVolume's callback
//      lock (never held together; ranked in that order), then its operation lock and
//      MixerVolume's lock (volume/volume_monitor.h). A change callback runs under the call
//      lock: it takes the operation lock for its reads and the serial link's lock (4) for a
//      whole exchange with the board
//   4. SerialLink::lock         one whole board exchange, or an open or close of the port
//   5. Subscriptions::lock      the subscriber list
//   6. StatusRecord::lock       one status report
// The locks inside WorkerGroup and PipeServer and Companions::agent_lock are leaves: they may
// be taken under any of these, and nothing is taken while they are held. EventLog::lock comes
// after all of them, the leaves included: a report may come from under any lock, and nothing
// is taken under it. The hotkey actions
// run before Subscriptions::lock is taken, never under it.
#pragma once

#include <atomic>
#include <cstdint>

#include "avboard/serial_link.h"
#include "service/board_reconnect.h"
#include "service/companions.h"
#include "service/event_log.h"
#include "service/event_listener.h"
#include "service/hotkey_actions.h"
#include "service/lifecycle.h"
#include "service/optical_drive.h"
#include "service/pipe_endpoint.h"
#include "service/service_volume.h"
#include "service/settings.h"
#include "service/status_report.h"
#include "service/subscribers.h"

namespace halvaro {

struct ServiceState {
  // --- Service host ---
  StatusRecord status;
  EventLog event_log;
  Lifecycle lifecycle;
  std::atomic<uint32_t> av_board_present{1};

  // --- Settings ---
  Settings settings;

  // --- AV board and optical drive ---
  SerialLink serial_link;
  BoardReconnect board_reconnect;
  OpticalDrive drive;

  // --- Master volume and the AV mode ---
  ServiceVolume volume;
  AvMode av_mode;

  // --- Hotkey events and the subscription pipe ---
  EventListener listener;
  Subscriptions subscriptions;
  PipeEndpoint subscription_pipe;  // "Global\OrvaEMASrv_Mux" and its pipe

  // --- The AV-command pipe ---
  PipeEndpoint av_command_pipe;  // "Global\RIVADODUVUru_Mux" and its pipe

  // --- Programs started beside the service ---
  Companions companions;
};

// The service's record. It is never destroyed: threads that the stop path does not end (a
// shutdown ends none) may use it until the process is gone.
ServiceState& Service();

}  // namespace halvaro

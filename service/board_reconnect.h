// Brings the AV board back after its port failed at the operating-system level (the adapter
// unplugged, the handle dead). Every few seconds, and at once after a resume, the port's
// driver is asked whether the port still exists (nothing goes on the line), and a lost port
// is opened again; once it is back, the board is queried and sent the disc state and the
// volume, as at start. While the port works, nothing is retried; a silent board is not a
// lost port.
//
// Threading: BoardReconnectThread is one WorkerThread, started by the start sequence once
// the volume monitor exists and ended by the stop path before the monitor is released.
// RequestBoardCheck may be called from any thread. ReportBoardPort is called by the start
// sequence and then by this thread only. The thread's board exchanges serialise
// with everyone else's on the serial link's lock, like those of the start sequence.
#pragma once

#include <windows.h>

#include "common/health_watch.h"
#include "common/unique_resource.h"
#include "common/worker_thread.h"

namespace halvaro {

// Between two looks at the port (and attempts to open it while it is lost).
constexpr DWORD kBoardReconnectPeriodMs = 3000;

struct BoardReconnect {
  WorkerThread thread;  // the start and stop sequences only
  // Auto-reset; set at resume so that the thread checks the port and retries at once.
  UniqueHandle check_now{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
  // Whether the board's port was open when last looked at: what the event log has been told.
  HealthWatch port_health;
};

void StartBoardReconnect();
// Ends the thread; false when it did not end within `timeout_ms`.
bool StopBoardReconnect(DWORD timeout_ms);
// A resume: the port may have died in the sleep, or may be back.
void RequestBoardCheck();

// Notes whether the board's port is open now and reports a change to the event log: a port
// that could not be opened at start, one that is gone, one that is back.
void ReportBoardPort(bool open);

// The thread's body: looks at the port after each period or check request, until the stop.
void BoardReconnectThread(HANDLE stop_event);

}  // namespace halvaro

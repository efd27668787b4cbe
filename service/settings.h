// The values kept under the service's own registry key: four settings read at start, the
// AV-mode flag, and the status values that tell other programs what the service is doing.
//
// Threading: ReadSettings runs on the start sequence's thread before any thread that reads
// the settings exists; afterwards the settings are only read. `av_mode` is written by the
// hotkey actions while others may read it. The writers open and close a key handle of their
// own per call, so they may run on any thread.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "common/setting_values.h"

namespace halvaro {

struct Settings {
  uint32_t max_subscribers = kDefaultMaxSubscribers;  // "EMAMaxRegister", at least 1
  uint32_t com_port = kDefaultComPort;                // "ComPort"
  uint32_t baud_rate = kDefaultBaudRate;              // "BuadRate"
  uint32_t cmd_time_frame = kDefaultCmdTimeFrame;     // "ComCmdTimeFrame", milliseconds
  std::atomic<uint32_t> av_mode{0};  // persisted as "CurrentAVMode"
};

// Reads the four settings that are present; clears the AV-mode flag and deletes
// "CurrentAVMode", so the AV mode is off after every start. A value that is not a number, or
// that the service does not use as stored, is reported to the event log with the value used.
void ReadSettings(Settings& settings);

void ClearListenerStatus();  // deletes "CurrentServiceMode"
// Writes "CurrentServiceMode" and "AVBoardStatus".
void WriteListenerStatus(uint32_t listener_running, uint32_t board_present);
// Writes "CurrentAVMode"; returns the result of opening, or else of closing, the key.
LONG WriteAvMode(uint32_t av_mode);

}  // namespace halvaro

// The service's master-volume state: its VolumeMonitor and what the start sequence reads
// through it, which the hotkey actions and the volume mirror keep up to date.
//
// Threading: a subscribe request at start can start the hotkey listener before the monitor
// exists, so the monitor is handed over through `published`: OpenServiceVolume fills the
// range and the start values first and publishes the monitor last (release); readers take it
// with Monitor() (acquire) and read the range only once they have it. The stop path clears
// `published`, and destroys the monitor only after every thread that uses it has ended. The
// numbers are read and written whole by several threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "common/unique_resource.h"
#include "common/worker_thread.h"
#include "volume/volume_monitor.h"

namespace halvaro {

struct ServiceVolume {
  // The owner; set by the start sequence and released by the stop path. Other threads use
  // Monitor(), which is null until every field below that the start reads is in place.
  std::unique_ptr<VolumeMonitor> monitor;
  std::atomic<VolumeMonitor*> published{nullptr};
  VolumeMonitor* Monitor() const { return published.load(std::memory_order_acquire); }
  std::atomic<uint32_t> monitor_kind{kNoBackend};
  uint32_t range = 65535;  // maximum − minimum of the monitor's raw volume
  std::atomic<uint32_t> current_percent{0};
  std::atomic<uint32_t> last_mute{0};
  std::atomic<uint32_t> debounce_running{0};
  std::atomic<uint32_t> debounce_start_percent{0};
  // Mixer machines: "Global\MIXER_NOTIFY_EVENT", set by the agent at every change, and the
  // thread that waits on it. Both exist only when the event could be created.
  UniqueHandle mixer_notify_event;
  WorkerThread mixer_event_waiter;
};

// The start value of the percentage: raw × 100 in unsigned 32-bit arithmetic (wrapping),
// divided by the range and truncated; a range of 0 gives 0. Later conversions round up.
uint32_t StartPercentage(uint32_t raw, uint32_t range);

// Raw to percentage, rounded up: (raw × 100 + range − 1) ÷ range, wrapping; range 0 gives 0.
uint32_t PercentFromRaw(uint32_t raw, uint32_t range);
// Percentage to raw, rounded down: (range × percent) ÷ 100, wrapping.
uint32_t RawFromPercent(uint32_t percent, uint32_t range);

// Creates the monitor and reads the range, the start percentage and the mute state.
void OpenServiceVolume(ServiceVolume& volume);

}  // namespace halvaro

// What the service does with the hotkeys it takes itself: master volume one percent up and
// down, AV mode on and off, and eject. Every other code goes on to the subscribers.
//
// Threading: HandleHotkey runs on EventThread, one code at a time. The AV mode's keep-awake
// request is held by a thread of its own (AvMode::awake_keeper) for as long as the
// mode is on, so it does not end with the thread that asked for it; only EventThread starts
// and stops that thread while the service runs, and the stop path after EventThread has
// ended.
#pragma once

#include <cstdint>

#include "common/worker_thread.h"

namespace halvaro {

// The AV mode's keep-awake request (its flag and registry value are settings).
struct AvMode {
  // Holds the request while the mode is on; started and stopped by the hotkey actions on
  // EventThread, and by the stop path once EventThread has ended.
  WorkerThread awake_keeper;
};

constexpr uint32_t kVolumeUpCode = 0xC0;
constexpr uint32_t kVolumeDownCode = 0xC1;
constexpr uint32_t kAvModeOnCode = 0xC4;
constexpr uint32_t kAvModeOffCode = 0xC5;
constexpr uint32_t kEjectCode = 0xC6;

// 1 when the code was handled here (no subscriber is woken), else 0.
uint32_t HandleHotkey(uint32_t code);

// Ends the keep-awake request, if any; the AV-mode flag and its registry value stay.
void ReleaseKeepAwake();

}  // namespace halvaro

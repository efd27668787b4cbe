// The table of open mixer handles inside the shared record: who opened the mixer, with which
// handle value and which notification window, and whether that process still lives.
//
// Threading: call only under SharedState::Locked.
#pragma once

#include <windows.h>

#include <cstdint>

#include "sim/mixer/shared_state.h"

namespace simmixer {

// A new open for this process. Null when the table is full.
OpenEntry* AddOpen(StateRecord& record, uint32_t device, HWND window);
// This process's open with that handle value, or null: a handle of another process, a closed
// one or a made-up one is not valid here.
OpenEntry* FindOwnOpen(StateRecord& record, uint32_t handle);
// Drops the opens of processes that have ended.
void ForgetDeadOpens(StateRecord& record);
uint32_t CountOpens(const StateRecord& record);

// The HWND a 32-bit handle value stands for in this process (window handles are 32-bit
// values that 64-bit processes sign-extend).
inline HWND WindowFromValue(uint32_t value) {
  return reinterpret_cast<HWND>(static_cast<intptr_t>(static_cast<int32_t>(value)));
}
inline uint32_t ValueFromWindow(HWND window) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(window));
}

}  // namespace simmixer

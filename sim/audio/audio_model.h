// What a change to the simulated endpoints does to the shared record: the device table, the
// defaults, and the change entries that every listening process reads. Pure code on the
// record; the caller holds the lock and wakes the listeners afterwards (SharedState::Update).
//
// Threading: call only under the shared lock.
#pragma once

#include <cstdint>

#include "sim/audio/audio_record.h"

namespace simaudio {

// Names are device ids; they fit a slot, are not empty, and are not the word "none", which
// the control program uses for "no device".
bool ValidDeviceName(const wchar_t* name);
// Copies a name into a slot-sized field; false (and the field empty) when it does not fit.
bool CopyName(wchar_t (&field)[kNameSize], const wchar_t* name);

// The slot of the device with this name (any case), or kNoDevice.
int32_t FindDevice(const StateRecord& record, const wchar_t* name);

// A fresh machine: one render device "Speakers" at 0.5, unmuted, the default render device in
// all three roles; no capture device. Posts nothing.
void SetInitialDevices(StateRecord& record);

// Each of these posts its change entries, also when the value was already what was asked for.
void SetLevel(StateRecord& record, int32_t slot, float level, const GUID& context);
// False when the device already had that mute state.
bool SetMute(StateRecord& record, int32_t slot, bool muted, const GUID& context);
void SetDefault(StateRecord& record, uint32_t flow, uint32_t role, int32_t slot);
// The slot of the new device, or kNoDevice when the table is full. The name must be new.
int32_t AddDevice(StateRecord& record, const wchar_t* name, uint32_t flow, float level);
// The roles the device held fall to no device, each posted.
void RemoveDevice(StateRecord& record, int32_t slot);

// Posts the whole current state: every device's volume (context GUID_NULL) and every
// default, so that listeners catch up after the state was replaced wholesale.
void PostCurrentState(StateRecord& record);

// The whole current state as change entries (every device's volume, every default), for a
// listener that missed more changes than the ring holds. Returns how many were written.
uint32_t CurrentStateAsChanges(const StateRecord& record, ChangeRecord* out, uint32_t capacity);

}  // namespace simaudio

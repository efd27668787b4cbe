// The layout of the simulated audio endpoints' record, shared by SimAudio.dll in every process
// of a prefix and by SimAudio.exe: devices and their defaults, the processes that listen for
// notifications, and a ring of the latest changes that those processes read.
//
// Fixed-width fields only: a 32-bit program and a 64-bit SimAudio.exe share one record.
//
// Threading: the record is only ever touched under the shared lock (see shared_state.h).
#pragma once

#include <windows.h>

#include <cstdint>

namespace simaudio {

inline constexpr uint32_t kNameSize = 32;  // wide characters, terminator included
inline constexpr uint32_t kMaxDevices = 8;
inline constexpr uint32_t kFlowCount = 2;   // eRender, eCapture
inline constexpr uint32_t kRoleCount = 3;   // eConsole, eMultimedia, eCommunications
inline constexpr int32_t kNoDevice = -1;
inline constexpr uint32_t kRingCapacity = 64;
inline constexpr uint32_t kMaxListeners = 16;
inline constexpr uint32_t kMaxCallbackRecords = 32;

static_assert(sizeof(wchar_t) == 2 && sizeof(float) == 4 && sizeof(GUID) == 16,
              "the record must have one layout in 32-bit and 64-bit processes");

// A slot of the device table; a slot with an empty name is free. The name is the device id.
struct DeviceRecord {
  wchar_t name[kNameSize];
  uint32_t flow;  // EDataFlow
  float level;    // master volume scalar, kept exactly as set
  uint32_t muted;
};

enum ChangeKind : uint32_t {
  kVolumeChange = 1,   // device, context, level, muted
  kDefaultChange = 2,  // flow, role, device (the new default; empty for none)
};

// One entry of the ring; the entry with sequence s is at changes[s % kRingCapacity].
struct ChangeRecord {
  uint32_t sequence;
  uint32_t kind;
  wchar_t device[kNameSize];
  GUID context;
  float level;
  uint32_t muted;
  uint32_t flow;
  uint32_t role;
};

// A process with at least one registration. Its notification thread waits on the event named
// by kWakeEventNameFormat with its process id. The creation time tells a reused id apart.
struct ListenerRecord {
  uint32_t pid;  // 0: free
  uint32_t created_low;
  uint32_t created_high;
  uint32_t clients;  // IMMNotificationClient registrations
};

// The volume callbacks that one process registered on one device.
struct CallbackRecord {
  uint32_t pid;  // 0: free
  uint32_t count;
  wchar_t device[kNameSize];
};

struct StateRecord {
  uint32_t magic;       // kRecordMagic once initialised; anything else is cleared on open
  uint32_t generation;  // bumped by reset, so objects from before it leave the gauge alone
  uint32_t fault_enumerator;
  uint32_t fault_activate;
  uint32_t calls_after_release;
  int32_t objects_alive;  // signed: a negative value would show a counting bug
  uint32_t unregister_timeouts;
  uint32_t last_sequence;  // of the newest change; never goes back, not even on reset
  int32_t default_device[kFlowCount][kRoleCount];  // slot index, or kNoDevice
  DeviceRecord devices[kMaxDevices];
  ListenerRecord listeners[kMaxListeners];
  CallbackRecord callbacks[kMaxCallbackRecords];
  ChangeRecord changes[kRingCapacity];
  uint32_t fault_set;  // SetMasterVolumeLevelScalar answers E_NOTIMPL
};

inline constexpr uint32_t kRecordMagic = 0x41444D53u ^ static_cast<uint32_t>(sizeof(StateRecord));

}  // namespace simaudio

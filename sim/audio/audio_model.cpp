#include "sim/audio/audio_model.h"

#include <mmdeviceapi.h>

#include <cstring>
#include <cwchar>

namespace simaudio {
namespace {

constexpr float kInitialLevel = 0.5f;
constexpr wchar_t kInitialDevice[] = L"Speakers";

ChangeRecord& Append(StateRecord& record, uint32_t kind) {
  const uint32_t sequence = ++record.last_sequence;
  ChangeRecord& change = record.changes[sequence % kRingCapacity];
  std::memset(&change, 0, sizeof(change));
  change.sequence = sequence;
  change.kind = kind;
  return change;
}

void FillVolume(ChangeRecord& change, const DeviceRecord& device, const GUID& context) {
  CopyName(change.device, device.name);
  change.context = context;
  change.level = device.level;
  change.muted = device.muted;
  change.flow = device.flow;
}

void FillDefault(ChangeRecord& change, const StateRecord& record, uint32_t flow, uint32_t role) {
  const int32_t slot = record.default_device[flow][role];
  if (slot != kNoDevice) CopyName(change.device, record.devices[slot].name);
  change.flow = flow;
  change.role = role;
}

void PostVolume(StateRecord& record, int32_t slot, const GUID& context) {
  FillVolume(Append(record, kVolumeChange), record.devices[slot], context);
}

}  // namespace

bool ValidDeviceName(const wchar_t* name) {
  const size_t length = wcsnlen(name, kNameSize);
  return length > 0 && length < kNameSize && _wcsicmp(name, L"none") != 0;
}

bool CopyName(wchar_t (&field)[kNameSize], const wchar_t* name) {
  const size_t length = wcsnlen(name, kNameSize);
  std::memset(field, 0, sizeof(field));
  if (length == kNameSize) return false;
  std::memcpy(field, name, length * sizeof(wchar_t));
  return true;
}

int32_t FindDevice(const StateRecord& record, const wchar_t* name) {
  for (uint32_t slot = 0; slot < kMaxDevices; ++slot) {
    const DeviceRecord& device = record.devices[slot];
    if (device.name[0] != L'\0' && _wcsnicmp(device.name, name, kNameSize) == 0) {
      return static_cast<int32_t>(slot);
    }
  }
  return kNoDevice;
}

void SetInitialDevices(StateRecord& record) {
  std::memset(record.devices, 0, sizeof(record.devices));
  for (auto& flow : record.default_device) {
    for (int32_t& slot : flow) slot = kNoDevice;
  }
  DeviceRecord& speakers = record.devices[0];
  CopyName(speakers.name, kInitialDevice);
  speakers.flow = eRender;
  speakers.level = kInitialLevel;
  for (int32_t& slot : record.default_device[eRender]) slot = 0;
}

// As on the platform, only a real change of the level or the mute is notified.
void SetLevel(StateRecord& record, int32_t slot, float level, const GUID& context) {
  if (record.devices[slot].level == level) return;
  record.devices[slot].level = level;
  PostVolume(record, slot, context);
}

bool SetMute(StateRecord& record, int32_t slot, bool muted, const GUID& context) {
  const uint32_t value = muted ? 1 : 0;
  if (record.devices[slot].muted == value) return false;
  record.devices[slot].muted = value;
  PostVolume(record, slot, context);
  return true;
}

void SetDefault(StateRecord& record, uint32_t flow, uint32_t role, int32_t slot) {
  record.default_device[flow][role] = slot;
  FillDefault(Append(record, kDefaultChange), record, flow, role);
}

int32_t AddDevice(StateRecord& record, const wchar_t* name, uint32_t flow, float level) {
  for (uint32_t slot = 0; slot < kMaxDevices; ++slot) {
    DeviceRecord& device = record.devices[slot];
    if (device.name[0] != L'\0') continue;
    std::memset(&device, 0, sizeof(device));
    if (!CopyName(device.name, name)) return kNoDevice;
    device.flow = flow;
    device.level = level;
    return static_cast<int32_t>(slot);
  }
  return kNoDevice;
}

void RemoveDevice(StateRecord& record, int32_t slot) {
  const uint32_t flow = record.devices[slot].flow;
  std::memset(&record.devices[slot], 0, sizeof(record.devices[slot]));
  for (uint32_t role = 0; role < kRoleCount; ++role) {
    if (record.default_device[flow][role] == slot) SetDefault(record, flow, role, kNoDevice);
  }
}

void PostCurrentState(StateRecord& record) {
  for (int32_t slot = 0; slot < static_cast<int32_t>(kMaxDevices); ++slot) {
    if (record.devices[slot].name[0] != L'\0') PostVolume(record, slot, GUID_NULL);
  }
  for (uint32_t flow = 0; flow < kFlowCount; ++flow) {
    for (uint32_t role = 0; role < kRoleCount; ++role) {
      SetDefault(record, flow, role, record.default_device[flow][role]);
    }
  }
}

uint32_t CurrentStateAsChanges(const StateRecord& record, ChangeRecord* out,
                               uint32_t capacity) {
  uint32_t count = 0;
  auto next = [&](uint32_t kind) -> ChangeRecord* {
    if (count == capacity) return nullptr;
    ChangeRecord* change = &out[count++];
    std::memset(change, 0, sizeof(*change));
    change->sequence = record.last_sequence;
    change->kind = kind;
    return change;
  };
  for (const DeviceRecord& device : record.devices) {
    if (device.name[0] == L'\0') continue;
    if (ChangeRecord* change = next(kVolumeChange)) FillVolume(*change, device, GUID_NULL);
  }
  for (uint32_t flow = 0; flow < kFlowCount; ++flow) {
    for (uint32_t role = 0; role < kRoleCount; ++role) {
      if (ChangeRecord* change = next(kDefaultChange)) FillDefault(*change, record, flow, role);
    }
  }
  return count;
}

}  // namespace simaudio

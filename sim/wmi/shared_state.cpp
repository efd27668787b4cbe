#include "sim/wmi/shared_state.h"

#include <cstring>
#include <utility>

namespace simwmi {

std::optional<SharedState> SharedState::Open() {
  std::optional<simcom::SharedRecord> shared = simcom::SharedRecord::Open(
      kStateDirectory, kStateFile, kMappingName, kLockName, sizeof(StateRecord));
  if (!shared) return std::nullopt;
  SharedState state(std::move(*shared));
  // Auto-reset: one press wakes one waiting enumerator.
  state.pressed_ = simcom::CreateWorldEvent(kPressedEventName, false);
  if (!state.pressed_) return std::nullopt;

  // A new file is all zeros, and a file from an older layout has another magic: both start
  // from a cleared record.
  state.Locked([](StateRecord& record) {
    if (record.magic == kRecordMagic) return;
    std::memset(&record, 0, sizeof(record));
    record.magic = kRecordMagic;
  });
  return state;
}

bool SharedState::Press(uint32_t code) {
  const bool queued = Locked([code](StateRecord& record) {
    if (record.queue_count == kQueueCapacity) return false;
    record.queue[(record.queue_head + record.queue_count) % kQueueCapacity] = code;
    ++record.queue_count;
    return true;
  });
  if (queued) SetEvent(pressed_.get());
  return queued;
}

std::optional<uint32_t> SharedState::TakePressed() {
  return Locked([](StateRecord& record) -> std::optional<uint32_t> {
    if (record.queue_count == 0) return std::nullopt;
    const uint32_t code = record.queue[record.queue_head];
    record.queue_head = (record.queue_head + 1) % kQueueCapacity;
    --record.queue_count;
    ++record.delivered;
    return code;
  });
}

void SharedState::Reset() {
  Locked([](StateRecord& record) {
    const uint32_t generation = record.generation + 1;
    std::memset(&record, 0, sizeof(record));
    record.magic = kRecordMagic;
    record.generation = generation;
  });
  // A press that nobody took may have left the event set; it would only cost one spurious
  // wake-up, but a cleared state should not carry it.
  ResetEvent(pressed_.get());
}

}  // namespace simwmi

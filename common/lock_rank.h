// The process's lock order as ranks: a thread may take a ranked lock only while every ranked
// lock it holds has a lower rank. The enumerators are in that order; service/service_state.h
// and volume/volume_monitor.h say why each lock stands where it does. A debug build checks
// the order at every take (common/lock_order.h); locks built without a rank are not checked.
#pragma once

#include <cstdint>

namespace halvaro {

enum class LockRank : uint8_t {
  kUnranked = 0,
  kLifecycle,          // Lifecycle::lock
  kEventListener,      // EventListener::lock
  kVolumeBackend,      // VolumeMonitor's backend lock
  kVolumeWatcherCall,  // VolumeMonitor's watcher call lock
  kMixerCallback,      // MixerVolume's callback lock
  kVolumeOperation,    // VolumeMonitor's operation lock
  kMixerVolume,        // MixerVolume's lock
  kSerialLink,         // SerialLink::lock
  kSubscriptions,      // Subscriptions::lock
  kStatusRecord,       // StatusRecord::lock
  // WorkerGroup's, PipeServer's and Companions::agent_lock: taken under anything, and
  // nothing ranked is taken under them.
  kLeaf,
  // The event log's budget lock: reports come from under any lock, the leaves included, and
  // nothing is taken under it.
  kEventLog,
};

}  // namespace halvaro

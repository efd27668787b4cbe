#include "service/service_volume.h"

namespace halvaro {

uint32_t StartPercentage(uint32_t raw, uint32_t range) {
  if (range == 0) return 0;
  return static_cast<uint32_t>(raw * 100u) / range;
}

uint32_t PercentFromRaw(uint32_t raw, uint32_t range) {
  if (range == 0) return 0;
  return static_cast<uint32_t>(raw * 100u + range - 1u) / range;
}

uint32_t RawFromPercent(uint32_t percent, uint32_t range) {
  return static_cast<uint32_t>(range * percent) / 100u;
}

void OpenServiceVolume(ServiceVolume& volume) {
  volume.monitor = std::make_unique<VolumeMonitor>();
  VolumeMonitor& monitor = *volume.monitor;
  volume.monitor_kind = monitor.kind();
  const VolumeBounds bounds = monitor.GetVolumeBounds();
  volume.range = bounds.maximum - bounds.minimum;
  volume.current_percent = StartPercentage(monitor.GetVolume(), volume.range);
  volume.last_mute = monitor.IsMuted();
  volume.published.store(&monitor, std::memory_order_release);  // last: all above is in place
}

}  // namespace halvaro

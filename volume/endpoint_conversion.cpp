#include "volume/endpoint_conversion.h"

namespace halvaro {

uint32_t RawVolumeFromLevel(float level) {
  const double scaled = static_cast<double>(level) * 65535.0;
  return static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(scaled)));
}

float LevelFromRawVolume(uint32_t raw) {
  return static_cast<float>(static_cast<double>(raw) / 65535.0);
}

}  // namespace halvaro

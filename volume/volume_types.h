// Types shared by the volume monitor's backends and their users.
//
// Threading: types only.
#pragma once

#include <cstdint>

namespace halvaro {

// Called once for every change the monitor notices, on the thread that noticed it, with the
// raw volume read at that moment. The result is not read.
using VolumeChangeCallback = uint32_t (*)(uint32_t raw_volume, uint32_t user_data);

// Backend kinds.
constexpr uint32_t kNoBackend = 0;
constexpr uint32_t kMixerBackend = 1;
constexpr uint32_t kEndpointBackend = 2;

struct VolumeBounds {
  uint32_t minimum = 0;
  uint32_t maximum = 0;
};

}  // namespace halvaro

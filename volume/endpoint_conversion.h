// Conversions between the endpoint's master level scalar (0.0 to 1.0) and raw volume
// (0 to 65535), as pure functions.
//
// Threading: pure.
#pragma once

#include <cstdint>

namespace halvaro {

// level × 65535, truncated toward zero; the low 32 bits. 0.5 gives 32767, 1.0 gives 65535.
uint32_t RawVolumeFromLevel(float level);

// raw ÷ 65535, rounded to the nearest float. Above 65535 the level is above 1.0, which the
// endpoint refuses; callers keep to the bounds.
float LevelFromRawVolume(uint32_t raw);

}  // namespace halvaro

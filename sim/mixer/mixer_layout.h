// What the simulated mixer device looks like: one destination line, the speakers, with up to
// two controls (volume and mute). The DLL and SimMixer.exe both name them from here.
//
// Threading: constants and pure functions only.
#pragma once

#include <cstdint>
#include <optional>

namespace simmixer {

// Which parts of the device exist; SimMixer.exe switches between them.
enum class ControlsMode : uint32_t { kBoth = 0, kVolumeOnly = 1, kMuteOnly = 2, kNoSpeakers = 3 };

inline constexpr wchar_t kProductName[] = L"Halvaro Sim Mixer";

inline constexpr uint32_t kSpeakersLineId = 0xFFFF0000u;
inline constexpr uint32_t kVolumeControlId = 1;
inline constexpr uint32_t kMuteControlId = 2;
// Never a control of this device: spurious notifications carry it.
inline constexpr uint32_t kUnknownControlId = 0x7FFF;

// Handle values: the tag in the top byte, a sequence number below it.
inline constexpr uint32_t kHandleTag = 0x5A000000u;
inline constexpr uint32_t kHandleTagMask = 0xFF000000u;
inline constexpr uint32_t kHandleSequenceMask = 0x00FFFFFFu;

inline constexpr uint32_t kMaxDevices = 16;

inline bool HasSpeakers(ControlsMode mode) { return mode != ControlsMode::kNoSpeakers; }
inline bool HasVolume(ControlsMode mode) {
  return mode == ControlsMode::kBoth || mode == ControlsMode::kVolumeOnly;
}
inline bool HasMute(ControlsMode mode) {
  return mode == ControlsMode::kBoth || mode == ControlsMode::kMuteOnly;
}
inline bool HasControl(ControlsMode mode, uint32_t control_id) {
  return (control_id == kVolumeControlId && HasVolume(mode)) ||
         (control_id == kMuteControlId && HasMute(mode));
}
inline uint32_t ControlCount(ControlsMode mode) {
  return (HasVolume(mode) ? 1u : 0u) + (HasMute(mode) ? 1u : 0u);
}

// The names SimMixer.exe takes and prints: both, volume-only, mute-only, no-speakers.
const wchar_t* ModeName(ControlsMode mode);
std::optional<ControlsMode> ParseMode(const wchar_t* text);

}  // namespace simmixer

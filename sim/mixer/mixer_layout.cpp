#include "sim/mixer/mixer_layout.h"

#include <cwchar>

namespace simmixer {
namespace {

constexpr struct {
  ControlsMode mode;
  const wchar_t* name;
} kModeNames[] = {{ControlsMode::kBoth, L"both"},
                  {ControlsMode::kVolumeOnly, L"volume-only"},
                  {ControlsMode::kMuteOnly, L"mute-only"},
                  {ControlsMode::kNoSpeakers, L"no-speakers"}};

}  // namespace

const wchar_t* ModeName(ControlsMode mode) {
  for (const auto& entry : kModeNames) {
    if (entry.mode == mode) return entry.name;
  }
  return L"unknown";
}

std::optional<ControlsMode> ParseMode(const wchar_t* text) {
  for (const auto& entry : kModeNames) {
    if (std::wcscmp(text, entry.name) == 0) return entry.mode;
  }
  return std::nullopt;
}

}  // namespace simmixer

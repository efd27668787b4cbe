#include "sim/mixer/dll_context.h"

#include <cwchar>
#include <optional>

#include "sim/mixer/open_table.h"

namespace simmixer {

SharedState* ProcessState() {
  static std::optional<SharedState> state = SharedState::Open();
  return state ? &*state : nullptr;
}

MMRESULT CheckObject(StateRecord& record, HMIXEROBJ object, DWORD flags) {
  const uint32_t value = HandleValue(object);
  switch (flags & 0xF0000000u) {
    case MIXER_OBJECTF_HMIXER:
      return FindOwnOpen(record, value) ? MMSYSERR_NOERROR : MMSYSERR_INVALHANDLE;
    case MIXER_OBJECTF_MIXER:
      if (reinterpret_cast<uintptr_t>(object) >= record.devices) return MMSYSERR_BADDEVICEID;
      return MMSYSERR_NOERROR;
    default:
      // Wave, MIDI and aux objects are not mapped to this mixer.
      return MMSYSERR_NOTSUPPORTED;
  }
}

void DriverDelay(uint32_t StateRecord::*delay_ms) noexcept {
  uint32_t delay = 0;
  wchar_t image[kDelayImageChars] = {};
  WithRecord([&](StateRecord& record) -> MMRESULT {
    delay = record.*delay_ms;
    std::wmemcpy(image, record.delay_image, kDelayImageChars);
    return MMSYSERR_NOERROR;
  });
  image[kDelayImageChars - 1] = L'\0';
  if (delay == 0) return;
  if (image[0] != L'\0') {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;
    const wchar_t* name = std::wcsrchr(path, L'\\');
    if (_wcsicmp(name ? name + 1 : path, image) != 0) return;
  }
  Sleep(delay);
}

}  // namespace simmixer

#include "sim/mixer/dll_context.h"

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

}  // namespace simmixer

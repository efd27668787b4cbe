// winmm.dll: reading and writing the volume and mute values.
#include <windows.h>
#include <mmsystem.h>

#include "sim/mixer/dll_context.h"
#include "sim/mixer/notify.h"

using simmixer::StateRecord;

namespace {

// One channel, one 4-byte value (MIXERCONTROLDETAILS_UNSIGNED or _BOOLEAN), for a control the
// current mode has.
MMRESULT CheckDetails(const StateRecord& record, const MIXERCONTROLDETAILS& details) {
  if (!simmixer::HasControl(simmixer::Mode(record), details.dwControlID)) {
    return MIXERR_INVALCONTROL;
  }
  if (details.cChannels != 1 || details.cMultipleItems != 0 || details.cbDetails != 4 ||
      details.paDetails == nullptr) {
    return MMSYSERR_INVALPARAM;
  }
  return MMSYSERR_NOERROR;
}

bool ValidDetailsStruct(const MIXERCONTROLDETAILS* details) {
  return details != nullptr && details->cbStruct >= sizeof(MIXERCONTROLDETAILS);
}

}  // namespace

extern "C" {

MMRESULT WINAPI mixerGetControlDetailsW(HMIXEROBJ hmxobj, LPMIXERCONTROLDETAILS pmxcd,
                                        DWORD fdwDetails) {
  if (!ValidDetailsStruct(pmxcd)) return MMSYSERR_INVALPARAM;
  const DWORD query = fdwDetails & MIXER_GETCONTROLDETAILSF_QUERYMASK;
  if (query == MIXER_GETCONTROLDETAILSF_LISTTEXT) return MMSYSERR_NOTSUPPORTED;
  if (query != MIXER_GETCONTROLDETAILSF_VALUE) return MMSYSERR_INVALFLAG;
  return simmixer::WithRecord([&](StateRecord& record) -> MMRESULT {
    MMRESULT result = simmixer::CheckObject(record, hmxobj, fdwDetails);
    if (result == MMSYSERR_NOERROR) result = CheckDetails(record, *pmxcd);
    if (result != MMSYSERR_NOERROR) return result;
    if (pmxcd->dwControlID == simmixer::kVolumeControlId) {
      static_cast<MIXERCONTROLDETAILS_UNSIGNED*>(pmxcd->paDetails)->dwValue = record.volume;
    } else {
      static_cast<MIXERCONTROLDETAILS_BOOLEAN*>(pmxcd->paDetails)->fValue =
          static_cast<LONG>(record.mute);
    }
    return MMSYSERR_NOERROR;
  });
}

// Stores the value as given (a driver does not range-check volume) and tells every open.
MMRESULT WINAPI mixerSetControlDetails(HMIXEROBJ hmxobj, LPMIXERCONTROLDETAILS pmxcd,
                                       DWORD fdwDetails) {
  if (!ValidDetailsStruct(pmxcd)) return MMSYSERR_INVALPARAM;
  const DWORD query = fdwDetails & MIXER_SETCONTROLDETAILSF_QUERYMASK;
  if (query == MIXER_SETCONTROLDETAILSF_CUSTOM) return MMSYSERR_NOTSUPPORTED;
  if (query != MIXER_SETCONTROLDETAILSF_VALUE) return MMSYSERR_INVALFLAG;
  const MMRESULT stored = simmixer::WithRecord([&](StateRecord& record) -> MMRESULT {
    MMRESULT result = simmixer::CheckObject(record, hmxobj, fdwDetails);
    if (result == MMSYSERR_NOERROR) result = CheckDetails(record, *pmxcd);
    if (result != MMSYSERR_NOERROR) return result;
    if (pmxcd->dwControlID == simmixer::kVolumeControlId) {
      record.volume = static_cast<const MIXERCONTROLDETAILS_UNSIGNED*>(pmxcd->paDetails)->dwValue;
    } else {
      record.mute =
          static_cast<const MIXERCONTROLDETAILS_BOOLEAN*>(pmxcd->paDetails)->fValue != 0 ? 1 : 0;
    }
    return MMSYSERR_NOERROR;
  });
  // The value is stored; a notification that does not get through does not undo it.
  if (stored == MMSYSERR_NOERROR) {
    simmixer::NotifyControlChange(*simmixer::ProcessState(), pmxcd->dwControlID);
  }
  return stored;
}

MMRESULT WINAPI mixerGetControlDetailsA(HMIXEROBJ, LPMIXERCONTROLDETAILS, DWORD) {
  return MMSYSERR_NOTSUPPORTED;
}

}  // extern "C"

// winmm.dll: the speakers destination line and its controls.
#include <windows.h>
#include <mmsystem.h>
#include <mmreg.h>

#include <cstring>
#include <initializer_list>

#include "sim/mixer/dll_context.h"

using simmixer::ControlsMode;
using simmixer::StateRecord;

namespace {

template <size_t N>
void CopyName(WCHAR (&dest)[N], const wchar_t* text) {
  const size_t length = wcsnlen(text, N - 1);
  std::memcpy(dest, text, length * sizeof(wchar_t));
  dest[length] = L'\0';
}

void FillSpeakersLine(const StateRecord& record, MIXERLINEW& line) {
  const DWORD cb = line.cbStruct;
  std::memset(&line, 0, sizeof(line));
  line.cbStruct = cb;
  line.dwDestination = 0;
  line.dwLineID = simmixer::kSpeakersLineId;
  line.fdwLine = MIXERLINE_LINEF_ACTIVE;
  line.dwComponentType = MIXERLINE_COMPONENTTYPE_DST_SPEAKERS;
  line.cChannels = 1;
  line.cControls = simmixer::ControlCount(simmixer::Mode(record));
  CopyName(line.szShortName, L"Speakers");
  CopyName(line.szName, L"Speakers");
  line.Target.dwType = MIXERLINE_TARGETTYPE_WAVEOUT;
  line.Target.wMid = MM_MICROSOFT;
  line.Target.wPid = MM_MSFT_WDMAUDIO_WAVEOUT;
  line.Target.vDriverVersion = 0x0100;
  CopyName(line.Target.szPname, simmixer::kProductName);
}

void FillControl(const StateRecord& record, uint32_t control_id, MIXERCONTROLW& control) {
  std::memset(&control, 0, sizeof(control));
  control.cbStruct = sizeof(control);
  control.dwControlID = control_id;
  control.fdwControl = MIXERCONTROL_CONTROLF_UNIFORM;
  control.cMultipleItems = 0;
  if (control_id == simmixer::kVolumeControlId) {
    control.dwControlType = MIXERCONTROL_CONTROLTYPE_VOLUME;
    CopyName(control.szShortName, L"Volume");
    CopyName(control.szName, L"Speakers Volume");
    control.Bounds.dwMinimum = record.bounds_min;
    control.Bounds.dwMaximum = record.bounds_max;
    control.Metrics.cSteps =
        record.bounds_max > record.bounds_min ? record.bounds_max - record.bounds_min : 0;
  } else {
    control.dwControlType = MIXERCONTROL_CONTROLTYPE_MUTE;
    CopyName(control.szShortName, L"Mute");
    CopyName(control.szName, L"Speakers Mute");
    control.Bounds.dwMinimum = 0;
    control.Bounds.dwMaximum = 1;
  }
}

MIXERCONTROLW& ControlAt(const MIXERLINECONTROLSW& controls, DWORD index) {
  // The caller's array has elements of cbmxctrl bytes, which may be larger than ours.
  return *reinterpret_cast<MIXERCONTROLW*>(reinterpret_cast<BYTE*>(controls.pamxctrl) +
                                           static_cast<size_t>(index) * controls.cbmxctrl);
}

MMRESULT LineControls(const StateRecord& record, MIXERLINECONTROLSW& controls, DWORD query) {
  const ControlsMode mode = simmixer::Mode(record);
  switch (query) {
    case MIXER_GETLINECONTROLSF_ONEBYTYPE: {
      if (controls.dwLineID != simmixer::kSpeakersLineId || !simmixer::HasSpeakers(mode)) {
        return MIXERR_INVALLINE;
      }
      if (controls.cControls != 1) return MMSYSERR_INVALPARAM;
      uint32_t id = 0;
      if (controls.dwControlType == MIXERCONTROL_CONTROLTYPE_VOLUME) id = simmixer::kVolumeControlId;
      if (controls.dwControlType == MIXERCONTROL_CONTROLTYPE_MUTE) id = simmixer::kMuteControlId;
      if (!simmixer::HasControl(mode, id)) return MIXERR_INVALCONTROL;
      FillControl(record, id, ControlAt(controls, 0));
      return MMSYSERR_NOERROR;
    }
    case MIXER_GETLINECONTROLSF_ONEBYID: {
      if (controls.cControls != 1) return MMSYSERR_INVALPARAM;
      if (!simmixer::HasControl(mode, controls.dwControlID)) return MIXERR_INVALCONTROL;
      controls.dwLineID = simmixer::kSpeakersLineId;
      FillControl(record, controls.dwControlID, ControlAt(controls, 0));
      return MMSYSERR_NOERROR;
    }
    case MIXER_GETLINECONTROLSF_ALL: {
      if (controls.dwLineID != simmixer::kSpeakersLineId || !simmixer::HasSpeakers(mode)) {
        return MIXERR_INVALLINE;
      }
      if (controls.cControls != simmixer::ControlCount(mode)) return MMSYSERR_INVALPARAM;
      DWORD index = 0;
      for (uint32_t id : {simmixer::kVolumeControlId, simmixer::kMuteControlId}) {
        if (simmixer::HasControl(mode, id)) FillControl(record, id, ControlAt(controls, index++));
      }
      return MMSYSERR_NOERROR;
    }
    default:
      return MMSYSERR_INVALFLAG;
  }
}

}  // namespace

extern "C" {

MMRESULT WINAPI mixerGetLineInfoW(HMIXEROBJ hmxobj, LPMIXERLINEW pmxl, DWORD fdwInfo) {
  if (pmxl == nullptr || pmxl->cbStruct < sizeof(MIXERLINEW)) return MMSYSERR_INVALPARAM;
  return simmixer::WithRecord([&](StateRecord& record) -> MMRESULT {
    const MMRESULT checked = simmixer::CheckObject(record, hmxobj, fdwInfo);
    if (checked != MMSYSERR_NOERROR) return checked;
    const bool speakers = simmixer::HasSpeakers(simmixer::Mode(record));
    bool found = false;
    switch (fdwInfo & MIXER_GETLINEINFOF_QUERYMASK) {
      case MIXER_GETLINEINFOF_DESTINATION:
        found = speakers && pmxl->dwDestination == 0;
        break;
      case MIXER_GETLINEINFOF_LINEID:
        found = speakers && pmxl->dwLineID == simmixer::kSpeakersLineId;
        break;
      case MIXER_GETLINEINFOF_COMPONENTTYPE:
        found = speakers && pmxl->dwComponentType == MIXERLINE_COMPONENTTYPE_DST_SPEAKERS;
        break;
      case MIXER_GETLINEINFOF_SOURCE:
        break;  // the speakers line has no source lines
      case MIXER_GETLINEINFOF_TARGETTYPE:
        return MMSYSERR_NOTSUPPORTED;
      default:
        return MMSYSERR_INVALFLAG;
    }
    if (!found) return MIXERR_INVALLINE;
    FillSpeakersLine(record, *pmxl);
    return MMSYSERR_NOERROR;
  });
}

MMRESULT WINAPI mixerGetLineControlsW(HMIXEROBJ hmxobj, LPMIXERLINECONTROLSW pmxlc,
                                      DWORD fdwControls) {
  if (pmxlc == nullptr || pmxlc->cbStruct < sizeof(MIXERLINECONTROLSW) ||
      pmxlc->cbmxctrl < sizeof(MIXERCONTROLW) || pmxlc->pamxctrl == nullptr) {
    return MMSYSERR_INVALPARAM;
  }
  return simmixer::WithRecord([&](StateRecord& record) -> MMRESULT {
    const MMRESULT checked = simmixer::CheckObject(record, hmxobj, fdwControls);
    if (checked != MMSYSERR_NOERROR) return checked;
    return LineControls(record, *pmxlc, fdwControls & MIXER_GETLINECONTROLSF_QUERYMASK);
  });
}

MMRESULT WINAPI mixerGetLineInfoA(HMIXEROBJ, LPMIXERLINEA, DWORD) { return MMSYSERR_NOTSUPPORTED; }

MMRESULT WINAPI mixerGetLineControlsA(HMIXEROBJ, LPMIXERLINECONTROLSA, DWORD) {
  return MMSYSERR_NOTSUPPORTED;
}

}  // extern "C"

// winmm.dll: the mixer devices and their handles.
#include <windows.h>
#include <mmsystem.h>
#include <mmreg.h>

#include <cstring>

#include "sim/mixer/dll_context.h"
#include "sim/mixer/open_table.h"

using simmixer::StateRecord;

namespace {

MIXERCAPSW Caps(const StateRecord& record) {
  MIXERCAPSW caps{};
  caps.wMid = MM_MICROSOFT;
  caps.wPid = MM_MSFT_WDMAUDIO_MIXER;
  caps.vDriverVersion = 0x0100;
  static_assert(sizeof(simmixer::kProductName) <= sizeof(caps.szPname), "the name must fit");
  std::memcpy(caps.szPname, simmixer::kProductName, sizeof(simmixer::kProductName));
  caps.cDestinations = simmixer::HasSpeakers(simmixer::Mode(record)) ? 1 : 0;
  return caps;
}

}  // namespace

extern "C" {

UINT WINAPI mixerGetNumDevs(void) {
  UINT devices = 0;
  simmixer::WithRecord([&](StateRecord& record) {
    devices = record.devices;
    return MMSYSERR_NOERROR;
  });
  return devices;
}

MMRESULT WINAPI mixerOpen(LPHMIXER phmx, UINT uMxId, DWORD_PTR dwCallback, DWORD_PTR dwInstance,
                          DWORD fdwOpen) {
  (void)dwInstance;  // only callback functions receive it, and those are not offered
  if (phmx != nullptr) *phmx = nullptr;
  simmixer::DriverDelay(&StateRecord::open_delay_ms);
  return simmixer::WithRecord([&](StateRecord& record) -> MMRESULT {
    ++record.mixer_open_calls;
    if (phmx == nullptr) return MMSYSERR_INVALPARAM;
    const DWORD callback = fdwOpen & CALLBACK_TYPEMASK;
    if ((fdwOpen & ~CALLBACK_TYPEMASK) != 0 ||
        (callback != CALLBACK_NULL && callback != CALLBACK_WINDOW)) {
      return MMSYSERR_INVALFLAG;
    }
    const HWND window = callback == CALLBACK_WINDOW ? reinterpret_cast<HWND>(dwCallback) : nullptr;
    if (window != nullptr && !IsWindow(window)) return MMSYSERR_INVALPARAM;
    if (record.devices == 0) return MMSYSERR_NODRIVER;
    if (uMxId >= record.devices) return MMSYSERR_BADDEVICEID;
    const simmixer::OpenEntry* entry = simmixer::AddOpen(record, uMxId, window);
    if (entry == nullptr) return MMSYSERR_NOMEM;
    *phmx = reinterpret_cast<HMIXER>(static_cast<uintptr_t>(entry->handle));
    return MMSYSERR_NOERROR;
  });
}

MMRESULT WINAPI mixerClose(HMIXER hmx) {
  simmixer::DriverDelay(&StateRecord::close_delay_ms);
  return simmixer::WithRecord([&](StateRecord& record) -> MMRESULT {
    simmixer::OpenEntry* entry = simmixer::FindOwnOpen(record, simmixer::HandleValue(hmx));
    if (entry == nullptr) return MMSYSERR_INVALHANDLE;
    *entry = simmixer::OpenEntry{};
    return MMSYSERR_NOERROR;
  });
}

// uMxId is a device id or, at or above the device count, an HMIXER of this process.
MMRESULT WINAPI mixerGetDevCapsW(UINT_PTR uMxId, LPMIXERCAPSW pmxcaps, UINT cbmxcaps) {
  if (pmxcaps == nullptr) return MMSYSERR_INVALPARAM;
  return simmixer::WithRecord([&](StateRecord& record) -> MMRESULT {
    if (uMxId >= record.devices) {
      const uint32_t value = static_cast<uint32_t>(uMxId);
      if ((value & simmixer::kHandleTagMask) != simmixer::kHandleTag) return MMSYSERR_BADDEVICEID;
      if (!simmixer::FindOwnOpen(record, value)) return MMSYSERR_INVALHANDLE;
    }
    const MIXERCAPSW caps = Caps(record);
    // As the system does: a smaller buffer receives the start of the structure.
    std::memcpy(pmxcaps, &caps, cbmxcaps < sizeof(caps) ? cbmxcaps : sizeof(caps));
    return MMSYSERR_NOERROR;
  });
}

MMRESULT WINAPI mixerGetDevCapsA(UINT_PTR, LPMIXERCAPSA, UINT) { return MMSYSERR_NOTSUPPORTED; }

MMRESULT WINAPI mixerGetID(HMIXEROBJ, UINT*, DWORD) { return MMSYSERR_NOTSUPPORTED; }

DWORD WINAPI mixerMessage(HMIXER, UINT, DWORD_PTR, DWORD_PTR) { return MMSYSERR_NOTSUPPORTED; }

}  // extern "C"

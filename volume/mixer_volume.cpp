#include "volume/mixer_volume.h"

#include <memory>
#include <utility>

#include "common/object_names.h"
#include "common/unique_resource.h"
#include "volume/system_winmm.h"

namespace halvaro {

namespace {

// Long enough for a window to be created on a loaded machine; a thread that has not made its
// window by then is taken as having failed, and no notifications arrive.
constexpr DWORD kWindowCreationWaitMs = 5000;

bool QueryControl(HMIXER mixer, DWORD line, DWORD type, MIXERCONTROLW* control) {
  MIXERLINECONTROLSW controls = {};
  controls.cbStruct = sizeof(controls);
  controls.dwLineID = line;
  controls.dwControlType = type;
  controls.cControls = 1;
  controls.cbmxctrl = sizeof(*control);
  controls.pamxctrl = control;
  control->cbStruct = sizeof(*control);
  return SystemWinmm()->GetLineControls(reinterpret_cast<HMIXEROBJ>(mixer), &controls,
                                        MIXER_OBJECTF_HMIXER |
                                            MIXER_GETLINECONTROLSF_ONEBYTYPE) == MMSYSERR_NOERROR;
}

}  // namespace

MixerVolume::MixerVolume() {
  // Shared with the thread, which may set it after a wait here has given up.
  auto ready = std::make_shared<UniqueHandle>(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!*ready) return;
  if (!window_thread_.Start(
          [this, ready](HANDLE stop_event) { RunWindow(stop_event, ready->get()); })) {
    return;
  }
  WaitForSingleObject(ready->get(), kWindowCreationWaitMs);
}

MixerVolume::~MixerVolume() {
  SetChangeCallback(nullptr, 0);
  // The thread's loop ends on the stop event or on WM_QUIT, whichever comes first.
  if (HWND window = window_.load()) PostMessageW(window, WM_QUIT, 0, 0);
  window_thread_.Stop(INFINITE);
  Close();
}

void MixerVolume::RunWindow(HANDLE stop_event, HANDLE window_ready) {
  HINSTANCE module = GetModuleHandleW(nullptr);
  WNDCLASSEXW window_class = {};
  window_class.cbSize = sizeof(window_class);
  window_class.style = CS_HREDRAW | CS_VREDRAW;
  window_class.lpfnWndProc = WindowProc;
  window_class.hInstance = module;
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  window_class.lpszClassName = kMixerWindowClass;
  RegisterClassExW(&window_class);  // fails harmlessly when the class exists already

  UniqueWindow window(CreateWindowExW(0, kMixerWindowClass, kMixerWindowTitle,
                                      WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0, CW_USEDEFAULT, 0,
                                      nullptr, nullptr, module, this));
  window_ = window.get();
  SetEvent(window_ready);  // the creator may go on: the window exists or never will
  if (!window) return;
  ShowWindow(window.get(), SW_HIDE);

  for (;;) {
    const DWORD woke =
        MsgWaitForMultipleObjectsEx(1, &stop_event, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (woke != WAIT_OBJECT_0 + 1) break;  // stopped, or the wait failed
    MSG message;
    bool quit = false;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) {
        quit = true;
        break;
      }
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    if (quit) break;
  }
  window_ = nullptr;
  // The window is destroyed here, on its own thread, before the object can be freed.
}

LRESULT CALLBACK MixerVolume::WindowProc(HWND window, UINT message, WPARAM wparam,
                                         LPARAM lparam) {
  if (message == WM_NCCREATE) {
    // The window carries its owner: it lives on the owner's thread and is destroyed there
    // before the owner can be freed.
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  if (message != MM_MIXM_CONTROL_CHANGE) return DefWindowProcW(window, message, wparam, lparam);
  if (auto* owner = reinterpret_cast<MixerVolume*>(GetWindowLongPtrW(window, GWLP_USERDATA))) {
    owner->OnControlChange(wparam, lparam);
  }
  return 0;
}

void MixerVolume::OnControlChange(WPARAM mixer, LPARAM control) {
  // Held across the call, so that SetChangeCallback waits for a call in progress. The
  // callback may read and write the mixer (lock_), but not replace itself.
  std::lock_guard<Lock> calling(callback_lock_);
  if (!callback_) return;
  {
    std::lock_guard<Lock> guard(lock_);
    if (!mixer_ || reinterpret_cast<WPARAM>(mixer_.get()) != mixer) return;
    const DWORD id = static_cast<DWORD>(control);
    if (id != volume_control_ && id != mute_control_) return;
  }
  uint32_t volume = 0;
  GetVolume(&volume);
  callback_(volume, user_data_);
}

bool MixerVolume::Open() {
  std::lock_guard<Lock> guard(lock_);
  mixer_.reset();
  // Every other call below is made only with a mixer open, so with the table in hand.
  const WinmmFunctions* const winmm = SystemWinmm();
  device_count_ = winmm ? winmm->GetNumDevs() : 0;
  caps_ = MIXERCAPSW{};
  volume_minimum_ = 0;
  volume_maximum_ = 0;
  volume_control_ = 0;
  if (device_count_ == 0) return false;

  // Kept only once the speakers' volume and mute controls are found; closed otherwise.
  UniqueMixer mixer;
  if (winmm->Open(mixer.put(), 0, reinterpret_cast<DWORD_PTR>(window_.load()), 0,
                  CALLBACK_WINDOW) != MMSYSERR_NOERROR) {
    return false;
  }
  if (winmm->GetDevCaps(reinterpret_cast<UINT_PTR>(mixer.get()), &caps_, sizeof(caps_)) !=
      MMSYSERR_NOERROR) {
    return false;
  }
  MIXERLINEW line = {};
  line.cbStruct = sizeof(line);
  line.dwComponentType = MIXERLINE_COMPONENTTYPE_DST_SPEAKERS;
  if (winmm->GetLineInfo(reinterpret_cast<HMIXEROBJ>(mixer.get()), &line,
                         MIXER_OBJECTF_HMIXER | MIXER_GETLINEINFOF_COMPONENTTYPE) !=
      MMSYSERR_NOERROR) {
    return false;
  }
  MIXERCONTROLW volume = {};
  MIXERCONTROLW mute = {};
  if (!QueryControl(mixer.get(), line.dwLineID, MIXERCONTROL_CONTROLTYPE_VOLUME, &volume)) {
    return false;
  }
  volume_minimum_ = volume.Bounds.dwMinimum;
  volume_maximum_ = volume.Bounds.dwMaximum;
  volume_control_ = volume.dwControlID;
  if (!QueryControl(mixer.get(), line.dwLineID, MIXERCONTROL_CONTROLTYPE_MUTE, &mute)) {
    return false;
  }
  mute_control_ = mute.dwControlID;
  mixer_ = std::move(mixer);
  return true;
}

void MixerVolume::Close() {
  std::lock_guard<Lock> guard(lock_);
  mixer_.reset();
}

void MixerHandleTraits::Close(HMIXER mixer) {
  if (const WinmmFunctions* winmm = SystemWinmm()) winmm->Close(mixer);
}

bool MixerVolume::ReadControl(DWORD MixerVolume::*control, uint32_t* value) {
  std::lock_guard<Lock> guard(lock_);
  if (!mixer_) return false;
  DWORD detail = 0;
  MIXERCONTROLDETAILS details = {};
  details.cbStruct = sizeof(details);
  details.dwControlID = this->*control;
  details.cChannels = 1;  // the control is treated as uniform
  details.cbDetails = sizeof(detail);
  details.paDetails = &detail;
  if (SystemWinmm()->GetControlDetails(reinterpret_cast<HMIXEROBJ>(mixer_.get()), &details,
                                       MIXER_OBJECTF_HMIXER | MIXER_GETCONTROLDETAILSF_VALUE) !=
      MMSYSERR_NOERROR) {
    return false;
  }
  *value = detail;
  return true;
}

bool MixerVolume::WriteControl(DWORD MixerVolume::*control, uint32_t value) {
  std::lock_guard<Lock> guard(lock_);
  if (!mixer_) return false;
  DWORD detail = value;
  MIXERCONTROLDETAILS details = {};
  details.cbStruct = sizeof(details);
  details.dwControlID = this->*control;
  details.cChannels = 1;
  details.cbDetails = sizeof(detail);
  details.paDetails = &detail;
  return SystemWinmm()->SetControlDetails(reinterpret_cast<HMIXEROBJ>(mixer_.get()), &details,
                                          MIXER_OBJECTF_HMIXER |
                                              MIXER_SETCONTROLDETAILSF_VALUE) == MMSYSERR_NOERROR;
}

bool MixerVolume::GetVolume(uint32_t* value) {
  return ReadControl(&MixerVolume::volume_control_, value);
}
bool MixerVolume::SetVolume(uint32_t value) {
  return WriteControl(&MixerVolume::volume_control_, value);
}
bool MixerVolume::IsMuted(uint32_t* value) {
  return ReadControl(&MixerVolume::mute_control_, value);
}
bool MixerVolume::Unmute() { return WriteControl(&MixerVolume::mute_control_, 0); }

void MixerVolume::SetChangeCallback(VolumeChangeCallback callback, uint32_t user_data) {
  std::lock_guard<Lock> guard(callback_lock_);
  callback_ = callback;
  user_data_ = user_data;
}

VolumeBounds MixerVolume::Bounds() {
  std::lock_guard<Lock> guard(lock_);
  return VolumeBounds{volume_minimum_, volume_maximum_};
}

}  // namespace halvaro

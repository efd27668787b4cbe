#include "service/hidden_window.h"

#include "common/object_names.h"
#include "service/board_reconnect.h"
#include "service/event_listener.h"
#include "service/optical_drive.h"
#include "service/service_state.h"
#include "service/volume_mirror.h"

namespace halvaro {

LRESULT CALLBACK HiddenWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  ServiceState& s = Service();
  const bool board_present = s.av_board_present != 0;
  switch (message) {
    case WM_PAINT: {
      PAINTSTRUCT paint;
      BeginPaint(window, &paint);
      EndPaint(window, &paint);
      return 0;
    }
    case WM_TIMER:
      if (wparam == kDebounceTimerId) OnDebounceTimer();
      if (wparam == kDiscPollTimerId) PollDiscState(s.drive, s.serial_link, board_present);
      return 0;
    case WM_POWERBROADCAST:
      if (wparam == PBT_APMRESUMEAUTOMATIC) {
        RefreshDiscState(s.drive, s.serial_link, board_present);
        // What the sleep may have broken is looked at now rather than at the next retry.
        RequestBoardCheck();
        RequestListenerRestart();
      }
      return 1;  // a suspend query is always granted
    case kBoardBackMessage:
      RefreshDiscState(s.drive, s.serial_link, board_present);
      return 0;
    default:
      return DefWindowProcW(window, message, wparam, lparam);
  }
}

UniqueWindow CreateHiddenWindow() {
  WNDCLASSEXW window_class = {};
  window_class.cbSize = sizeof(window_class);
  window_class.style = CS_HREDRAW | CS_VREDRAW;
  window_class.lpfnWndProc = HiddenWindowProc;
  window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  window_class.lpszClassName = kServiceWindowClass;
  RegisterClassExW(&window_class);

  UniqueWindow window(CreateWindowExW(0, kServiceWindowClass, kServiceWindowTitle,
                                      WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0, CW_USEDEFAULT, 0,
                                      nullptr, nullptr, nullptr, nullptr));
  if (!window) return window;
  ShowWindow(window.get(), SW_HIDE);
  UpdateWindow(window.get());
  return window;
}

}  // namespace halvaro

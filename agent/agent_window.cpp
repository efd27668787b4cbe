#include "agent/agent_window.h"

#include "agent/resource.h"
#include "common/object_names.h"

namespace halvaro {

namespace {

LRESULT CALLBACK AgentWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    case WM_PAINT: {
      PAINTSTRUCT paint;
      BeginPaint(window, &paint);
      EndPaint(window, &paint);
      return 0;
    }
    default:
      return DefWindowProcW(window, message, wparam, lparam);
  }
}

}  // namespace

UniqueWindow CreateAgentWindow(HINSTANCE instance) {
  WNDCLASSEXW window_class = {};
  window_class.cbSize = sizeof(window_class);
  window_class.style = CS_HREDRAW | CS_VREDRAW;
  window_class.lpfnWndProc = AgentWindowProc;
  window_class.hInstance = instance;
  window_class.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_AGENT));
  window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  window_class.lpszClassName = kAgentWindowClass;
  window_class.hIconSm = LoadIconW(instance, MAKEINTRESOURCEW(IDI_AGENT_SMALL));
  RegisterClassExW(&window_class);

  UniqueWindow window(CreateWindowExW(0, kAgentWindowClass, kAgentWindowTitle,
                                      WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0, CW_USEDEFAULT, 0,
                                      nullptr, nullptr, instance, nullptr));
  if (window) {
    ShowWindow(window.get(), SW_HIDE);
    UpdateWindow(window.get());
  }
  return window;
}

WPARAM RunAgentMessageLoop() {
  MSG message = {};
  // -1 (an error) does not end the loop; only WM_QUIT does.
  while (GetMessageW(&message, nullptr, 0, 0) != 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return message.wParam;
}

}  // namespace halvaro

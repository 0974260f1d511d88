#include "window/win32/message_loop.h"

namespace tl::window_win32 {

int runMessageLoop(HWND dialog, const std::function<HWND()>& note) {
  MSG msg;
  for (;;) {
    const BOOL r = GetMessageW(&msg, nullptr, 0, 0);
    if (r == 0) return static_cast<int>(msg.wParam);
    if (r == -1) return 1;  // only with bad arguments; nothing to wait for then
    if (dialog && IsDialogMessageW(dialog, &msg)) continue;
    if (HWND n = note ? note() : nullptr; n && IsDialogMessageW(n, &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

}  // namespace tl::window_win32

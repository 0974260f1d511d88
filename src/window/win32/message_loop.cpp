#include "window/win32/message_loop.h"

namespace tl::window_win32 {

int runMessageLoop(HWND dialog, const std::function<HWND()>& note) {
  MSG msg;
  for (;;) {
    // A modal loop the system runs inside a dispatch (wine's, while the
    // window is moved or sized) takes WM_QUIT for itself when the window is
    // closed meanwhile: the loop would then wait for good, windowless,
    // holding the one-copy mark that turns every later start away. The
    // window's end ends the loop as well.
    if (dialog && !IsWindow(dialog)) return 0;
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

#include "window/win32/message_loop.h"

namespace tl::win {

int WaitSet::add(HANDLE handle, std::function<void()> onSignaled) {
  entries_.push_back({nextId_, handle, std::move(onSignaled)});
  return nextId_++;
}

void WaitSet::remove(int id) {
  for (auto it = entries_.begin(); it != entries_.end(); ++it)
    if (it->id == id) {
      entries_.erase(it);
      return;
    }
}

int WaitSet::run(HWND dialog) {
  for (;;) {
    std::vector<HANDLE> handles;
    for (auto& e : entries_) handles.push_back(e.handle);
    const DWORD n = static_cast<DWORD>(handles.size());
    const DWORD r = MsgWaitForMultipleObjectsEx(n, handles.data(), INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (r < WAIT_OBJECT_0 + n) {
      // The callback may remove itself (a closed line): call a copy.
      auto fn = entries_[r - WAIT_OBJECT_0].fn;
      fn();
      continue;
    }
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) return static_cast<int>(msg.wParam);
      if (dialog && IsDialogMessageW(dialog, &msg)) continue;
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
}

}  // namespace tl::win

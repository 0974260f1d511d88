#include "app/win32/folder_watch.h"

namespace tl::app {

FolderWatch::FolderWatch(const std::wstring& folder, std::function<void()> onChange) : onChange_(std::move(onChange)) {
  change_ = FindFirstChangeNotificationW(folder.c_str(), FALSE,
                                         FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_FILE_NAME);
  stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (change_ == INVALID_HANDLE_VALUE || !stop_) return;
  // A plain Win32 thread, as the lines have: the C++ runtime's threads,
  // statically linked, have crashed at their start.
  thread_ = CreateThread(nullptr, 64 * 1024, run, this, 0, nullptr);
}

DWORD WINAPI FolderWatch::run(void* self) {
  auto* w = static_cast<FolderWatch*>(self);
  const HANDLE waits[] = {w->stop_, w->change_};
  while (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
    w->onChange_();
    if (!FindNextChangeNotification(w->change_)) break;
  }
  return 0;
}

FolderWatch::~FolderWatch() {
  if (stop_) SetEvent(stop_);
  if (thread_) {
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
  }
  if (change_ != INVALID_HANDLE_VALUE) FindCloseChangeNotification(change_);
  if (stop_) CloseHandle(stop_);
}

}  // namespace tl::app

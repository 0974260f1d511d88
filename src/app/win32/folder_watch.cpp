#include "app/win32/folder_watch.h"

namespace tl::app {

FolderWatch::FolderWatch(const std::wstring& folder, std::function<void()> onChange) {
  change_ = FindFirstChangeNotificationW(folder.c_str(), FALSE,
                                         FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_FILE_NAME);
  stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (change_ == INVALID_HANDLE_VALUE || !stop_) return;
  thread_ = std::thread([this, onChange = std::move(onChange)] {
    const HANDLE waits[] = {stop_, change_};
    while (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
      onChange();
      if (!FindNextChangeNotification(change_)) return;
    }
  });
}

FolderWatch::~FolderWatch() {
  if (stop_) SetEvent(stop_);
  if (thread_.joinable()) thread_.join();
  if (change_ != INVALID_HANDLE_VALUE) FindCloseChangeNotification(change_);
  if (stop_) CloseHandle(stop_);
}

}  // namespace tl::app

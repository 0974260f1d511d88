// A folder watched for files written or renamed in it (the settings file
// edited by hand). Windows tells through a change notification, waited
// for on a thread of its own.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace tl::app {

class FolderWatch {
 public:
  // `onChange` runs on the watch's thread; nothing happens where the
  // folder cannot be watched (not there yet).
  FolderWatch(const std::wstring& folder, std::function<void()> onChange);
  ~FolderWatch();
  FolderWatch(const FolderWatch&) = delete;
  FolderWatch& operator=(const FolderWatch&) = delete;

 private:
  static DWORD WINAPI run(void* self);

  std::function<void()> onChange_;
  HANDLE change_ = INVALID_HANDLE_VALUE;
  HANDLE stop_ = nullptr;
  HANDLE thread_ = nullptr;
};

}  // namespace tl::app

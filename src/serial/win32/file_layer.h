// The probe's file layer on Windows: "COMn:9600,n,8,1" opens \\.\COMn for
// input under a file number. Only a port the system names (QueryDosDevice)
// is opened at all, and only looked at: its lines and settings stay as they
// are, since a device may react to DTR. Each open has a deadline, because
// Bluetooth virtual COM ports can block in CreateFile for seconds; a port
// that has not answered by then counts as not openable.
#pragma once

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <functional>

#include "serial/file_table.h"
#include "serial/win32/device_watch.h"
#include "serial/win32/win_error.h"

namespace tl::serial_win32 {

class Win32FileLayer : public comport::FileTable<HANDLE> {
 public:
  // Opens a device path; returns the handle, or INVALID_HANDLE_VALUE with
  // the call that failed. Replaceable so that tests can make a port block.
  using Opener = std::function<HANDLE(const std::wstring& path, CallFailure& failure)>;
  static Opener defaultOpener();
  // Whether the system names COMn as present.
  using Presence = std::function<bool(int com)>;

  explicit Win32FileLayer(Opener opener = defaultOpener(),
                          std::chrono::milliseconds deadline = std::chrono::milliseconds(2000),
                          Presence present = portPresent);

 protected:
  HANDLE openPort(int com) override;

 private:
  Opener opener_;
  std::chrono::milliseconds deadline_;
  Presence present_;
};

}  // namespace tl::serial_win32

// The probe's file layer on Windows: "COMn:9600,n,8,1" opens \\.\COMn for
// input under a file number. Each open has a deadline, because Bluetooth
// virtual COM ports can block in CreateFile for seconds; a port that has
// not answered by then counts as not openable.
#pragma once

#include <windows.h>

#include <chrono>
#include <functional>
#include <map>

#include "serial/comport.h"

namespace tl::win {

class Win32FileLayer : public comport::FileLayer {
 public:
  // Opens a device path; returns the handle or INVALID_HANDLE_VALUE with
  // the error in `error`. Replaceable so that tests can make a port block.
  using Opener = std::function<HANDLE(const std::wstring& path, DWORD& error)>;
  static Opener defaultOpener();

  explicit Win32FileLayer(Opener opener = defaultOpener(),
                          std::chrono::milliseconds deadline = std::chrono::milliseconds(250));
  ~Win32FileLayer() override;
  int16_t FreeFile() override;
  void Open(const std::string& name, int16_t fileNumber) override;
  void Close(int16_t fileNumber) override;
  size_t openCount() const { return open_.size(); }

 private:
  Opener opener_;
  std::chrono::milliseconds deadline_;
  std::map<int16_t, HANDLE> open_;
};

}  // namespace tl::win

// Which COM ports exist, over time. A serial driver gives its port the DOS
// name "COMn" while the device is there and takes it away when the device
// goes; that name is what \\.\COMn opens, so it is the port's identity here.
// The window hears that something changed (WM_DEVICECHANGE); this only says
// what.
#pragma once

#include <windows.h>

#include <functional>
#include <vector>

#include "serial/comport.h"

namespace tl::serial_win32 {

// Whether COMn has a DOS name now. Opens nothing: a Bluetooth port asked
// this way does not block.
bool portPresent(int n);
// The numbers among COM1..COM16 that have one, ascending.
std::vector<int16_t> presentPorts();

class Win32DeviceWatch : public comport::DeviceWatch {
 public:
  using Lister = std::function<std::vector<int16_t>()>;
  // Takes the first look now: what changes() reports is relative to it.
  explicit Win32DeviceWatch(Lister list = presentPorts);
  comport::PortChanges changes() override;
  void announced(int16_t port, bool arrived) override;

 private:
  Lister list_;
  std::vector<int16_t> last_;
  // Named by the system since the last look.
  std::vector<int16_t> namedArrivals_, namedRemovals_;
};

}  // namespace tl::serial_win32

// COM numbers on Linux: COMn is the n-th real serial port of the machine,
// counting UARTs (ttyS* with a UART behind them) first and then USB-serial
// adapters (ttyUSB*), each in numeric order. ttyACM* is left out: CDC-ACM
// reports CTS asserted at all times, so a button there could never work.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tl::serial_linux {

struct SerialDevice {
  int com;           // 1-based COM number
  std::string name;  // "ttyS0"
  std::string path;  // "/dev/ttyS0" below the root
};

class PortResolver {
 public:
  // `root` is "/" in the program; tests point it at a fake /dev + /sys tree.
  explicit PortResolver(std::string root = "/");
  std::vector<SerialDevice> devices() const;
  std::optional<SerialDevice> find(int com) const;
  const std::string& root() const { return root_; }

 private:
  std::string root_;
};

}  // namespace tl::serial_linux

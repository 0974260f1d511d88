// Serial devices coming and going, from the kernel through udev: a
// descriptor the event loop waits on, so nothing wakes while no device
// comes or goes. Each event makes the port table read the devices again;
// which ports came and went is the table's to say.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "serial/comport.h"
#include "serial/linux/port_table.h"

struct udev;
struct udev_monitor;
struct udev_device;

namespace tl::serial_linux {

// The braille daemon brltty ships udev rules that claim some USB-serial
// chips' IDs (CH34x, CP210x) for braille displays: such an adapter appears
// and is taken away at once. The rule file (below `ruleDirs`) that claims
// vendor `vid` and product `pid` (hex, as sysfs gives them); "" for none.
std::string brlttyRuleFor(const std::string& vid, const std::string& pid, const std::vector<std::string>& ruleDirs);

// What the user is told about such an adapter.
std::string brlttyNote(const std::string& vid, const std::string& pid, const std::string& rule);

class UdevWatch : public comport::DeviceWatch {
 public:
  // nullptr where no monitor can be had (no netlink, as in some sandboxes):
  // the list then stays as the probe found it.
  static std::unique_ptr<UdevWatch> make(std::shared_ptr<PortTable> table);
  ~UdevWatch() override;
  int fd() const override;
  comport::PortChanges changes() override;

 private:
  UdevWatch(std::shared_ptr<PortTable> table, udev* u, udev_monitor* m) : table_(std::move(table)), udev_(u), monitor_(m) {}
  void lookForBrltty(udev_device* d);

  std::shared_ptr<PortTable> table_;
  udev* udev_;
  udev_monitor* monitor_;
  // USB-serial ttys that came lately: when, and their vendor and product.
  struct Arrival {
    std::chrono::steady_clock::time_point at;
    std::string vid, pid;
  };
  std::map<std::string, Arrival> arrivals_;
  std::map<std::string, std::string> products_;  // USB devices' PRODUCT ("403/6001/600") by device path
  std::vector<std::string> notes_;
};

}  // namespace tl::serial_linux

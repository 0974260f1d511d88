// Serial devices coming and going, from the kernel through udev: a
// descriptor the event loop waits on, so nothing wakes while no device
// comes or goes. Each event makes the port table read the devices again;
// which ports came and went is the table's to say.
#pragma once

#include <memory>

#include "serial/comport.h"
#include "serial/linux/port_table.h"

struct udev;
struct udev_monitor;

namespace tl::serial_linux {

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
  std::shared_ptr<PortTable> table_;
  udev* udev_;
  udev_monitor* monitor_;
};

}  // namespace tl::serial_linux

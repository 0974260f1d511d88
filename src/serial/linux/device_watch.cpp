#include "serial/linux/device_watch.h"

#include <libudev.h>
#include <unistd.h>

namespace tl::serial_linux {

std::unique_ptr<UdevWatch> UdevWatch::make(std::shared_ptr<PortTable> table) {
  udev* u = udev_new();
  if (!u) return nullptr;
  // udev's own events come once its rules have run (the node's group and
  // the /dev/serial links are in place). Where no udev daemon runs (a
  // container, a minimal system) only the kernel's events come, and
  // devtmpfs makes the nodes by itself.
  const char* source = access("/run/udev/control", F_OK) == 0 ? "udev" : "kernel";
  udev_monitor* m = udev_monitor_new_from_netlink(u, source);
  if (!m || udev_monitor_filter_add_match_subsystem_devtype(m, "tty", nullptr) < 0 ||
      udev_monitor_enable_receiving(m) < 0) {
    if (m) udev_monitor_unref(m);
    udev_unref(u);
    return nullptr;
  }
  return std::unique_ptr<UdevWatch>(new UdevWatch(std::move(table), u, m));
}

UdevWatch::~UdevWatch() {
  udev_monitor_unref(monitor_);
  udev_unref(udev_);
}

int UdevWatch::fd() const { return udev_monitor_get_fd(monitor_); }

comport::PortChanges UdevWatch::changes() {
  // Which tty it was does not matter: the table reads them all again, which
  // also settles events that came in an odd order (a quick replug).
  while (udev_device* d = udev_monitor_receive_device(monitor_)) udev_device_unref(d);
  table_->refresh();
  return table_->takeChanges();
}

}  // namespace tl::serial_linux

#include <cerrno>
#include <fcntl.h>
#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>
#include <unistd.h>

#include "keys/linux/injectors.h"
#include "serial/posix/os_error.h"

namespace tl::keys {

namespace {

class UinputInjector : public KeyInjector {
 public:
  UinputInjector(int fd, libevdev_uinput* dev) : fd_(fd), dev_(dev) {}
  ~UinputInjector() override {
    // Destroying the device makes the kernel release any key it holds down.
    libevdev_uinput_destroy(dev_);
    ::close(fd_);
  }
  void keybd_event(uint8_t vk, uint8_t, uint32_t flags, uint32_t) override {
    if (vk != kVkShift) return;
    libevdev_uinput_write_event(dev_, EV_KEY, KEY_LEFTSHIFT, (flags & kKeyEventKeyUp) ? 0 : 1);
    libevdev_uinput_write_event(dev_, EV_SYN, SYN_REPORT, 0);
  }

 private:
  int fd_;
  libevdev_uinput* dev_;
};

}  // namespace

std::unique_ptr<KeyInjector> makeUinputInjector(const std::string& devicePath, std::string& whyNot,
                                                int* failedErrno) {
  const int fd = ::open(devicePath.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    if (failedErrno) *failedErrno = errno;
    whyNot = posix::osReason(errno) + " (" + posix::osCall("open", errno) + ")";
    return nullptr;
  }
  libevdev* proto = libevdev_new();
  libevdev_set_name(proto, "Tastlink Shift");
  libevdev_enable_event_type(proto, EV_KEY);
  libevdev_enable_event_code(proto, EV_KEY, KEY_LEFTSHIFT, nullptr);
  // A lone Shift key is enough for the kernel, but desktops only treat a
  // device as a keyboard when it has letter keys too.
  for (int code = KEY_Q; code <= KEY_P; ++code) libevdev_enable_event_code(proto, EV_KEY, code, nullptr);
  libevdev_uinput* dev = nullptr;
  const int rc = libevdev_uinput_create_from_device(proto, fd, &dev);
  libevdev_free(proto);
  if (rc != 0) {
    if (failedErrno) *failedErrno = -rc;
    whyNot = posix::osReason(-rc) + " (" + posix::osCall("libevdev_uinput_create_from_device", -rc) + ")";
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<UinputInjector>(fd, dev);
}

}  // namespace tl::keys

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>
#include <unistd.h>

#include "keys/linux/injectors.h"
#include "core/linux/os_error.h"

namespace tl::keys_linux {

namespace {

// The device's descriptor, for letting the key up from a signal handler,
// where libevdev may not be called.
int liveFd = -1;
// Letters moved to the user's layout, for the same handler: filled before
// the device exists, never changed after.
constexpr size_t kMaxMoved = 26;
uint16_t movedCodes[kMaxMoved];
size_t movedCount = 0;

using Moved = std::vector<std::pair<const KeyInfo*, uint16_t>>;

// The virtual device on `fd`: every code the table may send, and a mouse's
// axes where `pointer`; 0 or a negative errno.
int createDevice(int fd, bool pointer, const Moved& moved, libevdev_uinput** dev) {
  libevdev* proto = libevdev_new();
  libevdev_set_name(proto, "Tastlink Shift");
  libevdev_enable_event_type(proto, EV_KEY);
  for (const KeyInfo& k : keyTable())
    if (pointer || k.kind != KeyKind::Button) libevdev_enable_event_code(proto, EV_KEY, k.evdev, nullptr);
  // Buttons alone make no mouse: desktops (libinput) take a device for a
  // pointer when it can move too. Only when a switch is a mouse button:
  // some desktops change their touchpad's behaviour while a mouse is there.
  if (pointer) {
    libevdev_enable_event_type(proto, EV_REL);
    libevdev_enable_event_code(proto, EV_REL, REL_X, nullptr);
    libevdev_enable_event_code(proto, EV_REL, REL_Y, nullptr);
  }
  // udev tags any device with keys ID_INPUT_KEY, which Xorg and libinput
  // take for a keyboard, so a lone Shift would do; the letter row is kept
  // for input tools that judge a keyboard by its letters.
  for (int code = KEY_Q; code <= KEY_P; ++code) libevdev_enable_event_code(proto, EV_KEY, code, nullptr);
  for (const auto& [key, code] : moved) libevdev_enable_event_code(proto, EV_KEY, code, nullptr);
  const int rc = libevdev_uinput_create_from_device(proto, fd, dev);
  libevdev_free(proto);
  return rc;
}

std::string createFailure(int rc) {
  return core_linux::osReason(-rc) + " (" + core_linux::osCall("libevdev_uinput_create_from_device", -rc) + ")";
}

class UinputInjector : public KeyInjector {
 public:
  UinputInjector(int fd, libevdev_uinput* dev, Moved moved, bool pointer)
      : fd_(fd), dev_(dev), moved_(std::move(moved)), pointer_(pointer) {
    liveFd = fd;
  }
  ~UinputInjector() override {
    liveFd = -1;
    // Destroying the device makes the kernel release any key it holds down.
    if (dev_) libevdev_uinput_destroy(dev_);
    ::close(fd_);
  }
  void send(const KeyStroke& k) override {
    if (!dev_) return;
    uint16_t code = k.key->evdev;
    for (const auto& [key, at] : moved_)
      if (key == k.key) code = at;
    libevdev_uinput_write_event(dev_, EV_KEY, code, k.down ? 1 : 0);
    libevdev_uinput_write_event(dev_, EV_SYN, SYN_REPORT, 0);
  }
  // A device cannot learn new codes: it is made again as a pointer too, on
  // the same descriptor (the crash path's). Its keys are up by now.
  std::string offerButtons() override {
    if (pointer_) return {};
    libevdev_uinput_destroy(dev_);
    dev_ = nullptr;
    int rc = createDevice(fd_, true, moved_, &dev_);
    pointer_ = rc == 0;
    if (rc != 0 && createDevice(fd_, false, moved_, &dev_) != 0) dev_ = nullptr;
    return rc == 0 ? std::string() : createFailure(rc);
  }

 private:
  int fd_;
  libevdev_uinput* dev_;
  Moved moved_;
  bool pointer_;
};

}  // namespace

void uinputKeysUpNow() noexcept {
  if (liveFd < 0) return;
  // Every key the program knows goes up; the kernel drops the releases of
  // keys that are not down. The table is built long before any signal.
  input_event ev[2] = {};
  ev[0].type = EV_KEY;
  ev[1].type = EV_SYN;
  ev[1].code = SYN_REPORT;
  for (const KeyInfo& k : keyTable()) {
    ev[0].code = k.evdev;
    [[maybe_unused]] ssize_t n = ::write(liveFd, ev, sizeof ev);
  }
  for (size_t i = 0; i < movedCount; ++i) {
    ev[0].code = movedCodes[i];
    [[maybe_unused]] ssize_t n = ::write(liveFd, ev, sizeof ev);
  }
}

std::unique_ptr<KeyInjector> makeUinputInjector(const std::string& devicePath, std::string& whyNot,
                                                int* failedErrno, bool pointer) {
  const int fd = ::open(devicePath.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    if (failedErrno) *failedErrno = errno;
    whyNot = core_linux::osReason(errno) + " (" + core_linux::osCall("open", errno) + ")";
    return nullptr;
  }
  auto moved = std::getenv("DISPLAY") ? layoutLetterCodes(nullptr) : Moved{};
  movedCount = 0;
  for (const auto& [key, code] : moved)
    if (movedCount < kMaxMoved) movedCodes[movedCount++] = code;
  libevdev_uinput* dev = nullptr;
  const int rc = createDevice(fd, pointer, moved, &dev);
  if (rc != 0) {
    if (failedErrno) *failedErrno = -rc;
    whyNot = createFailure(rc);
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<UinputInjector>(fd, dev, std::move(moved), pointer);
}

}  // namespace tl::keys_linux

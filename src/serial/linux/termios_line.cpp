#include "serial/linux/termios_line.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

#include "serial/linux/line_waiter.h"
#include "serial/linux/os_error.h"
#include "core/reports.h"
#include "core/runtime.h"

namespace tl::serial_linux {

namespace {

class TermiosLine : public OpenLine {
 public:
  // `sysEntry`: the tty's entry in sysfs, which goes with the device.
  TermiosLine(std::unique_ptr<ClaimedPort> port, LineNotify notify, const std::string& label, std::string sysEntry,
              uint8_t watch)
      : port_(std::move(port)), fd_(port_->fd()), modem_(fd_),
        waiter_(modem_, std::move(notify), label, [sysEntry] { return access(sysEntry.c_str(), F_OK) != 0; }, watch),
        stopFd_(eventfd(0, EFD_CLOEXEC)), hangupWatch_([this] { watchHangUp(); }) {}
  ~TermiosLine() override {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(stopFd_, &one, sizeof one);
    hangupWatch_.join();
    waiter_.stop();
    ::close(stopFd_);
  }
  uint8_t levels() override {
    int bits = 0;
    return modem_.getLines(bits) == 0 ? levelsOf(bits) : 0;
  }


 private:
  // A tty that is hung up reports POLLHUP even to a poll that asks for
  // nothing; asking for nothing also means received data never wakes us.
  void watchHangUp() {
    pollfd fds[2] = {{fd_, 0, 0}, {stopFd_, POLLIN, 0}};
    for (;;) {
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents) return;
      if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
        waiter_.hangUp();
        return;
      }
    }
  }

  std::unique_ptr<ClaimedPort> port_;  // closed last, after both threads
  int fd_;
  FdModemPort modem_;
  LineWaiter waiter_;
  int stopFd_;
  std::thread hangupWatch_;
};

}  // namespace

std::string portLabel(int com, const std::string& path) {
  return "COM" + std::to_string(com) + " (" + path + ")";
}

TermiosLineDriver::TermiosLineDriver(PortResolver resolver, std::string lockDir)
    : TermiosLineDriver(std::make_shared<PortTable>(std::move(resolver)), std::move(lockDir)) {}

TermiosLineDriver::TermiosLineDriver(std::shared_ptr<PortTable> table, std::string lockDir)
    : table_(std::move(table)), places_(claimPlaces(table_->resolver(), std::move(lockDir))) {}

std::unique_ptr<OpenLine> TermiosLineDriver::open(int16_t port, bool dtr, bool rts, uint8_t watch, LineNotify notify) {
  const auto dev = table_->find(port);
  if (!dev)
    throw Error(err::kDeviceUnavailable, reports::notPresent(port));
  const std::string label = portLabel(port, dev->path);
  auto claim = claimSerialDevice(*dev, label, places_);
  const int fd = claim->fd();
  // Linux raises both lines on open already; asserting them again keeps the
  // promise even where a driver does not.
  const int bits = (dtr ? TIOCM_DTR : 0) | (rts ? TIOCM_RTS : 0);
  if (bits && ioctl(fd, TIOCMBIS, &bits) != 0 && !noModemLines(errno)) raiseOpenFailure(label, "TIOCMBIS", errno);
  const int drop = (dtr ? 0 : TIOCM_DTR) | (rts ? 0 : TIOCM_RTS);
  if (drop) ioctl(fd, TIOCMBIC, &drop);
  table_->setInUse(port);
  return std::make_unique<TermiosLine>(std::move(claim), std::move(notify), label,
                                       table_->resolver().root() + "/sys/class/tty/" + dev->name, watch);
}

}  // namespace tl::serial_linux

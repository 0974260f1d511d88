#include "serial/posix/termios_line.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "serial/posix/line_waiter.h"
#include "serial/posix/os_error.h"
#include "window/runtime.h"

namespace tl::posix {

namespace {

[[noreturn]] void raiseOpenError(const std::string& label, const char* call, int errnum) {
  throw Error(openErrorNumber(errnum), "Der Anschluss " + label + " lässt sich nicht öffnen: " +
                                           osReason(errnum) + " (" + call + ": " +
                                           std::strerror(errnum) + ").");
}

// Modem-line ioctls fail this way on ttys without modem lines (ptys).
bool noModemLines(int e) { return e == EINVAL || e == ENOTTY || e == ENOSYS || e == EOPNOTSUPP; }

class TermiosLine : public OpenLine {
 public:
  TermiosLine(int fd, LineNotify notify, const std::string& label)
      : fd_(fd), modem_(fd), waiter_(modem_, std::move(notify), label),
        stopFd_(eventfd(0, EFD_CLOEXEC)), hangupWatch_([this] { watchHangUp(); }) {}
  ~TermiosLine() override {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(stopFd_, &one, sizeof one);
    hangupWatch_.join();
    waiter_.stop();
    ::close(stopFd_);
    ioctl(fd_, TIOCNXCL);
    ::close(fd_);
  }
  bool cts() override {
    int bits = 0;
    return modem_.getLines(bits) == 0 && (bits & TIOCM_CTS) != 0;
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

int openSerialDevice(const std::string& path, const std::string& label, bool readWrite) {
  // O_NONBLOCK: without it the open waits for carrier, possibly for ever.
  const int fd = ::open(path.c_str(), (readWrite ? O_RDWR : O_RDONLY) | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) raiseOpenError(label, "open", errno);
  auto failWith = [&](const char* call, int e) {
    ::close(fd);
    raiseOpenError(label, call, e);
  };
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) failWith("flock", errno);
  if (!isatty(fd)) failWith("isatty", ENOTTY);
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) failWith("tcgetattr", errno);
  cfmakeraw(&tio);
  tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
  tio.c_cflag |= CS8 | CLOCAL | CREAD | HUPCL;
  cfsetispeed(&tio, B9600);
  cfsetospeed(&tio, B9600);
  if (tcsetattr(fd, TCSANOW, &tio) != 0) failWith("tcsetattr", errno);
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) failWith("fcntl", errno);
  return fd;
}

std::unique_ptr<OpenLine> TermiosLineDriver::open(int16_t port, bool dtr, bool rts, LineNotify notify) {
  const auto dev = resolver_.find(port);
  if (!dev)
    throw Error(err::kDeviceUnavailable,
                "Der Anschluss COM" + std::to_string(port) + " ist auf diesem Rechner nicht vorhanden.");
  const std::string label = portLabel(port, dev->path);
  const int fd = openSerialDevice(dev->path, label, true);
  if (ioctl(fd, TIOCEXCL) != 0 && !noModemLines(errno)) {
    const int e = errno;
    ::close(fd);
    raiseOpenError(label, "TIOCEXCL", e);
  }
  // Linux raises both lines on open already; asserting them again keeps the
  // promise even where a driver does not.
  const int bits = (dtr ? TIOCM_DTR : 0) | (rts ? TIOCM_RTS : 0);
  if (bits && ioctl(fd, TIOCMBIS, &bits) != 0 && !noModemLines(errno)) {
    const int e = errno;
    ioctl(fd, TIOCNXCL);
    ::close(fd);
    raiseOpenError(label, "TIOCMBIS", e);
  }
  const int drop = (dtr ? 0 : TIOCM_DTR) | (rts ? 0 : TIOCM_RTS);
  if (drop) ioctl(fd, TIOCMBIC, &drop);
  return std::make_unique<TermiosLine>(fd, std::move(notify), label);
}

}  // namespace tl::posix

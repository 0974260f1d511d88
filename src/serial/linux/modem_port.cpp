#include "serial/linux/modem_port.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <linux/serial.h>
#include <mutex>
#include <sys/ioctl.h>
#include <unistd.h>

#include "serial/mscomm.h"

namespace tl::serial_linux {

uint8_t levelsOf(int tiocm) {
  return static_cast<uint8_t>(((tiocm & TIOCM_CTS) ? lines::CTS : 0) | ((tiocm & TIOCM_DSR) ? lines::DSR : 0) |
                              ((tiocm & TIOCM_CD) ? lines::DCD : 0) | ((tiocm & TIOCM_RI) ? lines::RI : 0));
}

int tiocmOf(uint8_t l) {
  return ((l & lines::CTS) ? TIOCM_CTS : 0) | ((l & lines::DSR) ? TIOCM_DSR : 0) | ((l & lines::DCD) ? TIOCM_CD : 0) |
         ((l & lines::RI) ? TIOCM_RI : 0);
}

namespace {

// TIOCMIWAIT sleeps until a line changes, a hang-up, or a signal. A no-op
// handler installed without SA_RESTART turns our signal into EINTR, which is
// how a close stops a waiter that nothing else would ever wake.
int wakeSignal() {
  static const int sig = SIGRTMIN + 4;
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction sa {};
    sa.sa_handler = [](int) {};
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    sigaction(sig, &sa, nullptr);
  });
  return sig;
}

int result(int rc) { return rc == 0 ? 0 : errno; }

}  // namespace

FdModemPort::FdModemPort(int fd) : fd_(fd) { wakeSignal(); }

int FdModemPort::getLines(int& bits) { return result(ioctl(fd_, TIOCMGET, &bits)); }

int FdModemPort::assertLines(int bits) { return result(ioctl(fd_, TIOCMBIS, &bits)); }

FdModemPort::~FdModemPort() {
  if (haveTimer_) timer_delete(timer_);
}

int FdModemPort::waitChange(int mask, int timeoutMs) {
  if (timeoutMs < 0) return result(ioctl(fd_, TIOCMIWAIT, mask));
  if (!haveTimer_) {
    sigevent sev{};
    sev.sigev_notify = SIGEV_THREAD_ID;
    sev.sigev_signo = wakeSignal();
    sev._sigev_un._tid = gettid();  // sigev_notify_thread_id, which glibc 2.36 does not name
    if (timer_create(CLOCK_MONOTONIC, &sev, &timer_) != 0) return errno;
    haveTimer_ = true;
  }
  // Repeating: should the thread be held up past the first expiry before
  // it enters the wait, the next one still ends it.
  itimerspec arm{};
  arm.it_value.tv_sec = timeoutMs / 1000;
  arm.it_value.tv_nsec = (timeoutMs % 1000) * 1000000L;
  arm.it_interval = arm.it_value;
  const auto start = std::chrono::steady_clock::now();
  timer_settime(timer_, 0, &arm, nullptr);
  const int rc = result(ioctl(fd_, TIOCMIWAIT, mask));
  const bool expired = std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(timeoutMs);
  const itimerspec off{};
  timer_settime(timer_, 0, &off, nullptr);
  return rc == EINTR && expired ? ETIMEDOUT : rc;
}

int FdModemPort::counts(ModemCounts& out) {
  serial_icounter_struct c{};
  if (ioctl(fd_, TIOCGICOUNT, &c) != 0) return errno;
  out.cts = static_cast<uint32_t>(c.cts);
  out.dsr = static_cast<uint32_t>(c.dsr);
  out.rng = static_cast<uint32_t>(c.rng);
  out.dcd = static_cast<uint32_t>(c.dcd);
  return 0;
}

void FdModemPort::interrupt(pthread_t waiter) { pthread_kill(waiter, wakeSignal()); }

}  // namespace tl::serial_linux

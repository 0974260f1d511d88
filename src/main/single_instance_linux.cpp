#include "main/single_instance_linux.h"

#include <QSocketNotifier>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace tl::app {

namespace {

constexpr int kConnectMs = 3000;  // a first instance between lock and listen
constexpr int kReplyMs = 5000;    // a first instance busy for a moment

bool addressOf(const std::string& path, sockaddr_un& addr) {
  addr = {};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return false;
  path.copy(addr.sun_path, path.size());
  return true;
}

// Reads one line within `ms`; "" when none comes.
std::string readLine(int fd, int ms) {
  std::string line;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return {};
    char buf[256];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) return {};
    line.append(buf, static_cast<size_t>(n));
    if (const size_t nl = line.find('\n'); nl != std::string::npos) return line.substr(0, nl);
    if (line.size() > 4096) return {};
  }
}

void writeAll(int fd, const std::string& text) {
  [[maybe_unused]] ssize_t n = ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
}

}  // namespace

SingleInstance::SingleInstance(const std::string& name) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  // The runtime directory is the user's own; /tmp is shared, so the user's
  // number keeps users apart there.
  const std::string base = runtime && *runtime ? std::string(runtime) + "/" + name
                                               : "/tmp/" + name + "-" + std::to_string(::getuid());
  lockPath_ = base + ".lock";
  socketPath_ = base + ".socket";
}

SingleInstance::~SingleInstance() {
  notifier_.reset();
  if (listenFd_ >= 0) {
    ::close(listenFd_);
    ::unlink(socketPath_.c_str());
  }
  if (lockFd_ >= 0) ::close(lockFd_);
}

bool SingleInstance::handedOver(const std::string& port) {
  lockFd_ = ::open(lockPath_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  // Without a lock file there is no telling; better two than none.
  if (lockFd_ < 0) return false;
  if (::flock(lockFd_, LOCK_EX | LOCK_NB) == 0) return false;  // the first
  ::close(lockFd_);
  lockFd_ = -1;
  sockaddr_un addr;
  if (!addressOf(socketPath_, addr)) return false;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kConnectMs);
  for (;;) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ucred peer{};
    socklen_t len = sizeof peer;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
      // Only the user's own Tastlink may tell this one to end.
      if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &len) != 0 || peer.uid != ::getuid()) {
        ::close(fd);
        return false;
      }
      writeAll(fd, "raise " + port + "\n");
      const std::string reply = readLine(fd, kReplyMs);
      ::close(fd);
      if (reply == "raised") return true;
      if (reply != "beside")
        std::fprintf(stderr, "Tastlink: das laufende Tastlink antwortet nicht; dieses startet trotzdem.\n");
      return false;
    }
    ::close(fd);
    // The first holds the lock but may not listen yet.
    if (std::chrono::steady_clock::now() >= end) {
      std::fprintf(stderr, "Tastlink: das laufende Tastlink antwortet nicht; dieses startet trotzdem.\n");
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void SingleInstance::serve() {
  if (lockFd_ < 0) return;  // beside the first, or no lock: nobody to answer
  sockaddr_un addr;
  if (!addressOf(socketPath_, addr)) return;
  // Holding the lock, whatever socket is there was left by a program that
  // is gone.
  ::unlink(socketPath_.c_str());
  listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listenFd_ < 0) return;
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listenFd_, 4) != 0) {
    ::close(listenFd_);
    listenFd_ = -1;
    return;
  }
  notifier_ = std::make_unique<QSocketNotifier>(listenFd_, QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { answer(); });
}

void SingleInstance::answer() {
  for (;;) {
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    // Only the user's own programs are heard, and only briefly: this runs
    // on the window's thread, where key events wait meanwhile. A later
    // Tastlink writes its line at once.
    ucred peer{};
    socklen_t len = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &len) != 0 || peer.uid != ::getuid()) {
      ::close(fd);
      continue;
    }
    const std::string request = readLine(fd, 200);
    if (request.rfind("raise ", 0) == 0) {
      const bool mine = !raise || raise(request.substr(6));
      writeAll(fd, mine ? "raised\n" : "beside\n");
    }
    ::close(fd);
  }
}

}  // namespace tl::app

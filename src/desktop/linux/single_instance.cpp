#include "desktop/linux/single_instance.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>
#include <cctype>
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

namespace tl::desktop_linux {

namespace {

constexpr int kConnectMs = 3000;  // a first instance between lock and listen
constexpr int kReplyMs = 5000;    // a first instance busy for a moment
constexpr int kMaxWaiting = 8;    // clients heard at once; later ones are dropped

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

// `text` as part of a file name.
std::string fileSafe(const std::string& text) {
  std::string out;
  for (char c : text) out += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return out;
}

}  // namespace

SingleInstance::SingleInstance(const std::string& name, const std::string& port) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  const bool own = runtime && *runtime;
  // One copy per display: a window raised on another display than the
  // user's would be no answer.
  std::string file = own ? name : name + "-" + std::to_string(::getuid());
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  const char* x = std::getenv("DISPLAY");
  const char* display = wayland && *wayland ? wayland : x;
  if (display && *display) {
    std::string id = display;
    // ":0.1" is display :0 (screen 1).
    if (display == x && id.find('.', id.rfind(':') + 1) != std::string::npos) id.erase(id.find('.', id.rfind(':') + 1));
    file += '-' + fileSafe(id);
  }
  if (!port.empty()) file += "-" + fileSafe(port);
  // The runtime directory is the user's own; /tmp is shared, so the user's
  // number keeps users apart there.
  const std::string dir = own ? runtime : "/tmp";
  lockPath_ = dir + "/" + file + ".lock";
  socketPath_ = dir + "/" + file + ".socket";
  // A socket's path has room for 107 bytes: a longer one is reached
  // through a descriptor of its directory, or two copies would run.
  if (sockaddr_un addr; socketPath_.size() >= sizeof addr.sun_path) {
    dirFd_ = ::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dirFd_ >= 0) socketPath_ = "/proc/self/fd/" + std::to_string(dirFd_) + "/" + file + ".socket";
  }
}

SingleInstance::~SingleInstance() {
  server_.reset();  // removes its socket file
  if (lockFd_ >= 0) ::close(lockFd_);
  if (dirFd_ >= 0) ::close(dirFd_);
}

bool SingleInstance::handedOver(const std::string& port) {
  lockFd_ = ::open(lockPath_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
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
  // Holding the lock, whatever socket is there was left by a program that
  // is gone.
  QLocalServer::removeServer(QString::fromStdString(socketPath_));
  server_ = std::make_unique<QLocalServer>();
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  if (!server_->listen(QString::fromStdString(socketPath_))) {
    server_.reset();
    return;
  }
  QObject::connect(server_.get(), &QLocalServer::newConnection, [this] { answer(); });
}

void SingleInstance::answer() {
  while (QLocalSocket* client = server_->nextPendingConnection()) {
    // Only the user's own programs are heard, and never waited for: this
    // runs on the window's thread, where key events are handled. Each
    // client is read as its line comes; one that says nothing is dropped
    // after a while, and a crowd beyond a few at once is turned away.
    ucred peer{};
    socklen_t len = sizeof peer;
    if (waiting_ >= kMaxWaiting ||
        ::getsockopt(static_cast<int>(client->socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &peer, &len) != 0 ||
        peer.uid != ::getuid()) {
      client->abort();
      client->deleteLater();
      continue;
    }
    ++waiting_;
    QObject::connect(client, &QObject::destroyed, [this] { --waiting_; });
    QObject::connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
    QTimer::singleShot(kReplyMs, client, [client] { client->abort(); client->deleteLater(); });
    QObject::connect(client, &QLocalSocket::readyRead, client, [this, client] {
      if (!client->canReadLine()) {
        if (client->bytesAvailable() > 4096) client->abort();
        return;
      }
      std::string request = client->readLine(4096).toStdString();
      if (!request.empty() && request.back() == '\n') request.pop_back();
      if (request.rfind("raise ", 0) == 0) {
        const bool mine = !raise || raise(request.substr(6));
        client->write(mine ? "raised\n" : "beside\n");
      }
      client->disconnectFromServer();
    });
  }
}

}  // namespace tl::desktop_linux

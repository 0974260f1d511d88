#include "serial/linux/port_claim.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <optional>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "serial/linux/os_error.h"
#include "core/reports.h"
#include "core/runtime.h"

namespace fs = std::filesystem;

namespace tl::serial_linux {

namespace {

struct Refusal {
  int number;
  std::string reason;
  std::string detail;  // the failed call, or what showed the holder
};

// The probe's texts go under the report's "COMn: "; the line's stand alone.
[[noreturn]] void raise(const std::string& label, const Refusal& r) {
  throw Error(r.number, label.empty() ? reports::reason(r.reason, r.detail)
                                      : reports::cannotOpen(label, r.reason, r.detail));
}

// The line that lets the user at a refused device, with the user's own
// name: the device's group (dialout on Debian; uucp elsewhere), and a new
// login, since groups are read at login.
std::string permissionHint(const std::string& device) {
  struct stat st {};
  const group* g = ::stat(device.c_str(), &st) == 0 && st.st_gid != 0 && (st.st_mode & S_IRWXG) ? ::getgrgid(st.st_gid)
                                                                                                 : nullptr;
  const std::string groupName = g ? g->gr_name : "dialout";
  const passwd* pw = ::getpwuid(::getuid());
  const std::string user = pw ? pw->pw_name : std::to_string(::getuid());
  bool member = false;
  if (const group* gr = ::getgrnam(groupName.c_str())) {
    member = pw && pw->pw_gid == gr->gr_gid;
    for (char** m = gr->gr_mem; m && *m && !member; ++m) member = user == *m;
  }
  if (member)
    return "; " + user + " ist schon in der Gruppe " + groupName +
           ", das gilt aber erst nach einer neuen Anmeldung: abmelden und wieder anmelden";
  return "; Abhilfe: „sudo usermod -aG " + groupName + " " + user +
         "“ eingeben, dann abmelden und wieder anmelden (die Gruppe gilt erst nach einer neuen Anmeldung)";
}

Refusal failed(const char* call, int e, const std::string& device = {}) {
  std::string reason = osReason(e);
  if ((e == EACCES || e == EPERM) && !device.empty()) reason += permissionHint(device);
  return {openErrorNumber(e), reason, osCall(call, e)};
}

Refusal inUse(std::string reason, std::string detail) {
  return {err::kPathAccess, std::move(reason), std::move(detail)};
}

std::optional<Refusal> consoleRefusal(const SerialDevice& dev, const ClaimPlaces& where) {
  const fs::path active = fs::path(where.sysRoot) / "sys/class/tty/console/active";
  std::ifstream in(active);
  for (std::string name; in >> name;)
    if (name == dev.name)
      return inUse("ist die Konsole des Systems", "/sys/class/tty/console/active: " + dev.name);
  return std::nullopt;
}

constexpr pid_t kNoLock = -1;
constexpr pid_t kNotAFile = -2;

// The pid a lock file names: ten characters and a newline by convention,
// a binary int from some older programs. kNoLock: no lock file; 0: a lock
// file without a readable pid, which may be one being written right now;
// kNotAFile: something else planted under the lock's name.
pid_t lockOwner(const std::string& path) {
  // The lock directory is everyone's: a FIFO or a device there must not
  // hold this thread (and a key with it) in open() or read().
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT ? kNoLock : 0;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return kNotAFile;
  }
  char buf[32] = {};
  const ssize_t n = ::read(fd, buf, sizeof buf - 1);
  ::close(fd);
  if (n == static_cast<ssize_t>(sizeof(int)) && std::strspn(buf, "0123456789 \n") < sizeof(int)) {
    int pid = 0;
    std::memcpy(&pid, buf, sizeof pid);
    return pid > 0 ? pid : 0;
  }
  char* end = nullptr;
  const long pid = std::strtol(buf, &end, 10);
  return pid > 0 && pid < (1L << 30) && end != buf ? static_cast<pid_t>(pid) : 0;
}

// `pid` as lockOwner() read it from `path`.
std::optional<Refusal> lockRefusal(pid_t pid, const std::string& path) {
  if (pid == kNotAFile)
    return inUse(osReason(EBUSY), "Sperrdatei " + path + " ist keine gewöhnliche Datei");
  if (pid < 0 || pid == ::getpid()) return std::nullopt;
  if (pid == 0) return inUse(osReason(EBUSY), "Sperrdatei " + path + " ohne lesbare Prozessnummer");
  // A dead owner left a stale lock, which anyone may take over.
  if (::kill(pid, 0) != 0 && errno == ESRCH) return std::nullopt;
  std::string who = "Prozess " + std::to_string(pid);
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  if (std::string name; std::getline(comm, name) && !name.empty()) who += " „" + name + "“";
  return inUse("wird gerade von " + who + " benutzt", "Sperrdatei " + path);
}

std::string lockPath(const SerialDevice& dev, const ClaimPlaces& where) {
  return where.lockDir + "/LCK.." + dev.name;
}

// Marks seen without opening the device.
std::optional<Refusal> heldByMarks(const SerialDevice& dev, const ClaimPlaces& where) {
  if (auto r = consoleRefusal(dev, where)) return r;
  const std::string path = lockPath(dev, where);
  return lockRefusal(lockOwner(path), path);
}

// Marks seen on an open descriptor. `lock` is the flock(2) kind to try.
std::optional<Refusal> heldOnDevice(int fd, int lock) {
  if (!isatty(fd)) return failed("isatty", ENOTTY);
  int exclusive = 0;
  if (ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive)
    return inUse("wird gerade von einem anderen Programm exklusiv benutzt", "TIOCGEXCL");
  if (flock(fd, lock | LOCK_NB) != 0) {
    const int e = errno;
    return e == EWOULDBLOCK ? inUse(osReason(EBUSY), osCall("flock", e)) : failed("flock", e);
  }
  return std::nullopt;
}

// Writes our lock file and returns its path; returns "" where none can be
// written (no such directory, no permission: some systems keep /run/lock
// for a group), as other serial programs then go on too. Raises when a
// live program holds the lock.
std::string takeLock(const SerialDevice& dev, const ClaimPlaces& where, const std::string& label) {
  const std::string path = lockPath(dev, where);
  char text[16];
  std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(::getpid()));
  for (int attempt = 0; attempt < 3; ++attempt) {
    // Judged once: a lock read twice might be another program's new one
    // the second time, and be removed as stale.
    const pid_t owner = lockOwner(path);
    if (auto r = lockRefusal(owner, path)) raise(label, *r);
    if (owner >= 0 && ::unlink(path.c_str()) != 0 && errno != ENOENT) return "";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
      if (errno == EEXIST) continue;  // another program was quicker: judge its lock
      return "";
    }
    const bool written = ::write(fd, text, 11) == 11;
    ::close(fd);
    if (written) return path;
    ::unlink(path.c_str());
    return "";
  }
  raise(label, inUse(osReason(EBUSY), "Sperrdatei " + path));
}

}  // namespace

ClaimPlaces claimPlaces(const PortResolver& resolver, std::string lockDir) {
  const std::string& root = resolver.root();
  return {root, lockDir.empty() ? (fs::path(root) / "run/lock").string() : std::move(lockDir)};
}

void raiseOpenFailure(const std::string& label, const char* call, int errnum) {
  raise(label, failed(call, errnum));
}

int probeSerialDevice(const SerialDevice& dev, const ClaimPlaces& where) {
  if (auto r = heldByMarks(dev, where)) raise("", *r);
  // O_NONBLOCK: without it the open waits for carrier, possibly for ever.
  const int fd = ::open(dev.path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) raise("", failed("open", errno, dev.path));
  // A shared lock is enough to see an exclusive one, and takes nothing away
  // from a program that wants to lock the port meanwhile.
  if (auto r = heldOnDevice(fd, LOCK_SH)) {
    ::close(fd);
    raise("", *r);
  }
  return fd;
}

ClaimedPort::~ClaimedPort() {
  if (fd_ >= 0) {
    if (exclusive_) ioctl(fd_, TIOCNXCL);
    ::close(fd_);
  }
  if (!lockFile_.empty() && lockOwner(lockFile_) == ::getpid()) ::unlink(lockFile_.c_str());
}

std::unique_ptr<ClaimedPort> claimSerialDevice(const SerialDevice& dev, const std::string& label,
                                               const ClaimPlaces& where) {
  if (auto r = consoleRefusal(dev, where)) raise(label, *r);
  std::unique_ptr<ClaimedPort> port(new ClaimedPort);
  port->lockFile_ = takeLock(dev, where, label);
  // From here on, every raise lets `port` undo what was done so far.
  const int fd = port->fd_ = ::open(dev.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) raise(label, failed("open", errno, dev.path));
  if (auto r = heldOnDevice(fd, LOCK_EX)) raise(label, *r);
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) raise(label, failed("tcgetattr", errno));
  cfmakeraw(&tio);
  tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
  tio.c_cflag |= CS8 | CLOCAL | CREAD | HUPCL;
  cfsetispeed(&tio, B9600);
  cfsetospeed(&tio, B9600);
  if (tcsetattr(fd, TCSANOW, &tio) != 0) raise(label, failed("tcsetattr", errno));
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) raise(label, failed("fcntl", errno));
  if (ioctl(fd, TIOCEXCL) == 0)
    port->exclusive_ = true;
  else if (!noModemLines(errno))
    raise(label, failed("TIOCEXCL", errno));
  return port;
}

}  // namespace tl::serial_linux

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

#include "app/settings_file.h"
#include "core/linux/os_error.h"

namespace tl::app {

namespace {

// Where a link points, followed to the end: dotfiles kept elsewhere are
// updated where they live, and the link stays as it is.
std::string target(const std::string& path) {
  std::string p = path;
  for (int hops = 0; hops < 40; ++hops) {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink(p.c_str(), buf, sizeof buf - 1);
    if (n < 0) return p;
    std::string to(buf, static_cast<size_t>(n));
    if (to[0] != '/') to = p.substr(0, p.rfind('/') + 1) + to;
    p = to;
  }
  return p;
}

}  // namespace

std::string writeWhole(const std::string& path, const std::string& text) {
  const std::string file = target(path);
  const std::string dir = file.rfind('/') == std::string::npos ? "." : file.substr(0, file.rfind('/'));
  auto failed = [&](const char* call, int errnum) {
    return "Die Einstellungsdatei " + path + " lässt sich nicht schreiben: " + core_linux::osReason(errnum) + " (" +
           core_linux::osCall(call, errnum) + "). Sie bleibt, wie sie war.";
  };
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return failed("mkdir", errno);
  struct stat st {};
  const mode_t mode = ::stat(file.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
  std::string temp = dir + "/.tastlink.conf.XXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return failed("open", errno);
  size_t done = 0;
  int err = 0;
  const char* call = "write";
  while (done < text.size() && !err) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno != EINTR) err = errno;
    if (n > 0) done += static_cast<size_t>(n);
  }
  // Flushed before the rename: after a crash the name holds the old file
  // or the whole new one, never an empty one.
  if (!err && (::fchmod(fd, mode) != 0 || ::fsync(fd) != 0)) err = errno, call = "fsync";
  if (::close(fd) != 0 && !err) err = errno, call = "close";
  if (!err && ::rename(temp.c_str(), file.c_str()) != 0) err = errno, call = "rename";
  if (err) {
    ::unlink(temp.c_str());
    return failed(call, err);
  }
  return {};
}

std::string saveSettings(const std::string& path, const Settings& want) {
  std::string text;
  if (std::ifstream in{path, std::ios::binary}) text.assign(std::istreambuf_iterator<char>(in), {});
  try {
    return writeWhole(path, updateSettingsText(text, want, path));
  } catch (const SettingsError& e) {
    return std::string(e.what()) + " Die Einstellungen wurden nicht gespeichert; bitte zuerst die Datei berichtigen.";
  }
}

}  // namespace tl::app

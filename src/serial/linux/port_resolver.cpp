#include "serial/linux/port_resolver.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace tl::serial_linux {

namespace {

// Numeric suffix of "ttyS12" after `prefix`, or -1, also for a number too
// big to be a real tty's: one odd name must not cost the others theirs.
long suffixNumber(const std::string& name, const std::string& prefix) {
  if (name.rfind(prefix, 0) != 0) return -1;
  const char* first = name.data() + prefix.size();
  const char* last = name.data() + name.size();
  long n = -1;
  const auto [end, ec] = std::from_chars(first, last, n);
  return first != last && std::isdigit(static_cast<unsigned char>(*first)) && ec == std::errc() && end == last ? n : -1;
}

// The 8250 driver registers ttyS0..N whether or not a UART answers; those
// without one report port type 0 (PORT_UNKNOWN) and fail to open with ENXIO.
bool hasUart(const fs::path& sysEntry) {
  std::ifstream in(sysEntry / "type");
  int type = 0;
  return in >> type && type != 0;
}

std::vector<std::string> numbered(const fs::path& sysTty, const std::string& prefix, bool uartOnly) {
  std::vector<std::pair<long, std::string>> found;
  std::error_code ec;
  for (fs::directory_iterator it(sysTty, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    const long n = suffixNumber(name, prefix);
    if (n < 0) continue;
    if (uartOnly && !hasUart(it->path())) continue;
    found.emplace_back(n, name);
  }
  std::sort(found.begin(), found.end());
  std::vector<std::string> names;
  for (auto& f : found) names.push_back(f.second);
  return names;
}

}  // namespace

PortResolver::PortResolver(std::string root) : root_(std::move(root)) {}

std::vector<SerialDevice> PortResolver::devices() const {
  const fs::path sysTty = fs::path(root_) / "sys/class/tty";
  std::vector<SerialDevice> out;
  int com = 1;
  for (const char* prefix : {"ttyS", "ttyUSB"}) {
    for (const auto& name : numbered(sysTty, prefix, std::string(prefix) == "ttyS"))
      out.push_back({com++, name, (fs::path(root_) / "dev" / name).string()});
  }
  return out;
}

std::optional<SerialDevice> PortResolver::find(int com) const {
  for (auto& d : devices())
    if (d.com == com) return d;
  return std::nullopt;
}

}  // namespace tl::serial_linux

#include "serial/linux/device_watch.h"

#include <libudev.h>
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <optional>
#include <unistd.h>

namespace tl::serial_linux {

std::unique_ptr<UdevWatch> UdevWatch::make(std::shared_ptr<PortTable> table) {
  udev* u = udev_new();
  if (!u) return nullptr;
  // udev's own events come once its rules have run (the node's group and
  // the /dev/serial links are in place). Where no udev daemon runs (a
  // container, a minimal system) only the kernel's events come, and
  // devtmpfs makes the nodes by itself.
  const char* source = access("/run/udev/control", F_OK) == 0 ? "udev" : "kernel";
  udev_monitor* m = udev_monitor_new_from_netlink(u, source);
  if (!m || udev_monitor_filter_add_match_subsystem_devtype(m, "tty", nullptr) < 0 ||
      udev_monitor_filter_add_match_subsystem_devtype(m, "usb", "usb_device") < 0 ||
      udev_monitor_enable_receiving(m) < 0) {
    if (m) udev_monitor_unref(m);
    udev_unref(u);
    return nullptr;
  }
  return std::unique_ptr<UdevWatch>(new UdevWatch(std::move(table), u, m));
}

UdevWatch::~UdevWatch() {
  udev_monitor_unref(monitor_);
  udev_unref(udev_);
}

int UdevWatch::fd() const { return udev_monitor_get_fd(monitor_); }

comport::PortChanges UdevWatch::changes() {
  // Which tty it was does not matter to the list: the table reads them all
  // again, which also settles events that came in an odd order (a quick
  // replug).
  while (udev_device* d = udev_monitor_receive_device(monitor_)) {
    lookForBrltty(d);
    udev_device_unref(d);
  }
  table_->refresh();
  comport::PortChanges changes = table_->takeChanges();
  changes.notes = std::move(notes_);
  notes_.clear();
  return changes;
}

namespace {

// "403/6001/600", as a USB device's PRODUCT has it, as "0403" and "6001".
std::optional<std::pair<std::string, std::string>> usbIds(const std::string& product) {
  const size_t first = product.find('/'), second = product.find('/', first + 1);
  if (first == 0 || first > 4 || second == std::string::npos || second - first - 1 > 4 || second == first + 1)
    return std::nullopt;
  auto hex4 = [](const std::string& id) { return std::string(4 - id.size(), '0') + id; };
  return std::make_pair(hex4(product.substr(0, first)), hex4(product.substr(first + 1, second - first - 1)));
}

}  // namespace

// An adapter gone within a second of coming, whose IDs a brltty rule
// claims, was taken by brltty: without a word the switch would just never
// work.
void UdevWatch::lookForBrltty(udev_device* d) {
  const char* action = udev_device_get_action(d);
  const char* path = udev_device_get_devpath(d);
  if (!action || !path) return;
  const auto now = std::chrono::steady_clock::now();
  std::erase_if(arrivals_, [&](const auto& a) { return now - a.second.at > std::chrono::seconds(1); });
  const char* subsystem = udev_device_get_subsystem(d);
  if (subsystem && std::string(subsystem) == "usb") {
    // The adapter's IDs come with its own event: by the time its tty's
    // event is read, the adapter may be gone from sysfs already.
    const char* product = udev_device_get_property_value(d, "PRODUCT");
    if (std::string(action) == "add" && product)
      products_[path] = product;
    else if (std::string(action) == "remove")
      products_.erase(path);
    return;
  }
  if (std::string(action) == "add") {
    // The deepest USB device above the tty is the adapter: a hub's path is
    // a prefix of its path, and sorts first.
    std::string product;
    for (const auto& [usbPath, p] : products_)
      if (std::string(path).starts_with(usbPath + "/")) product = p;
    if (auto ids = usbIds(product)) arrivals_[path] = {now, ids->first, ids->second};
  } else if (std::string(action) == "remove") {
    const auto it = arrivals_.find(path);
    if (it == arrivals_.end()) return;
    const std::string rule = brlttyRuleFor(it->second.vid, it->second.pid,
                                           {"/etc/udev/rules.d", "/usr/lib/udev/rules.d", "/lib/udev/rules.d"});
    if (!rule.empty()) notes_.push_back(brlttyNote(it->second.vid, it->second.pid, rule));
    arrivals_.erase(it);
  }
}

std::string brlttyRuleFor(const std::string& vid, const std::string& pid, const std::vector<std::string>& ruleDirs) {
  // brltty's rules match ENV{PRODUCT}, which writes the IDs in hex without
  // leading zeros: "1a86/7523/*".
  auto bare = [](std::string id) {
    id.erase(0, std::min(id.find_first_not_of('0'), id.size() - 1));
    for (char& c : id) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return id;
  };
  const std::string product = "\"" + bare(vid) + "/" + bare(pid) + "/";
  for (const std::string& dir : ruleDirs) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
      const std::string name = entry.path().filename().string();
      if (name.find("brltty") == std::string::npos || !name.ends_with(".rules") || !entry.is_regular_file(ec)) continue;
      std::ifstream in(entry.path());
      for (std::string line; std::getline(in, line);)
        if (line.find("ENV{PRODUCT}") != std::string::npos && line.find(product) != std::string::npos &&
            line.find_first_not_of(" \t") != line.find('#'))
          return entry.path().string();
    }
  }
  return {};
}

std::string brlttyNote(const std::string& vid, const std::string& pid, const std::string& rule) {
  return "Ein USB-Seriell-Adapter (" + vid + ":" + pid +
         ") verschwand gleich nach dem Einstecken: Der Dienst brltty für Braillezeilen hält Adapter mit "
         "dieser Kennung für eine Braillezeile und nimmt sie sich (Regel in " + rule +
         "). Ohne Braillezeile: „sudo apt remove brltty“. Mit Braillezeile: nur diese Kennung aus der "
         "Regel nehmen, wie „man tastlink“ unter BRLTTY zeigt.";
}

}  // namespace tl::serial_linux

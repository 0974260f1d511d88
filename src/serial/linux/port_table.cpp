#include "serial/linux/port_table.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace tl::serial_linux {

namespace {

fs::path resolved(const fs::path& p) {
  std::error_code ec;
  fs::path c = fs::canonical(p, ec);
  return ec ? fs::path() : c;
}

std::string readLine(const fs::path& p) {
  std::ifstream in(p);
  std::string line;
  std::getline(in, line);
  return line;
}

}  // namespace

std::string PortTable::identityOf(const SerialDevice& d) const {
  const fs::path root(resolver_.root());
  const fs::path device = resolved(root / "sys/class/tty" / d.name / "device");
  if (d.name.rfind("ttyUSB", 0) == 0 && !device.empty()) {
    // The tty sits on a port device, below the USB interface, below the
    // USB device. A serial number, where the adapter has one, follows it
    // to any socket; without one (many cheap adapters share one by-id
    // name then), the interface's path names the socket it is in.
    const fs::path interface = device.parent_path(), usb = interface.parent_path();
    const std::string port = readLine(device / "port_number");
    const std::string serial = readLine(usb / "serial");
    const std::string name = interface.filename().string();
    if (!serial.empty())
      return "usb:" + readLine(usb / "idVendor") + ":" + readLine(usb / "idProduct") + ":" + serial + ":" +
             name.substr(name.find(':') + 1) + ":" + port;
    return "socket:" + interface.string() + ":" + port;
  }
  // A UART stays where it is.
  const fs::path tty = resolved(root / "sys/class/tty" / d.name);
  return tty.empty() ? "name:" + d.name : "sys:" + tty.string();
}

void PortTable::refresh() {
  std::vector<std::pair<std::string, SerialDevice>> now;
  for (const SerialDevice& d : resolver_.devices()) {
    const std::string id = identityOf(d);
    // The same device twice: replugged before its old node was gone. The
    // old node is the one that stays behind, the new one is numbered higher.
    auto twin = std::find_if(now.begin(), now.end(), [&](const auto& n) { return n.first == id; });
    if (twin != now.end())
      twin->second = d;
    else
      now.emplace_back(id, d);
  }
  // Devices that went: their numbers are free again, but for the one in use.
  std::erase_if(entries_, [&](Entry& e) {
    e.present = std::any_of(now.begin(), now.end(), [&](const auto& n) { return n.first == e.identity; }) && e.present;
    return !e.present && e.com != inUse_;
  });
  auto taken = [&](int com) {
    return std::any_of(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.com == com; });
  };
  for (const auto& [id, device] : now) {
    auto e = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& x) { return x.identity == id; });
    if (e == entries_.end()) {
      int com = device.com;  // the rule's number
      if (taken(com))
        for (com = 1; taken(com);) ++com;
      entries_.push_back({com, id, device, false, 0});
      e = entries_.end() - 1;
    }
    // Under another node it is another tty: whatever held the old one has
    // lost it and must hear that the device is back.
    if (!e->present || e->device.path != device.path) e->arrival = ++arrivals_;
    e->present = true;
    e->device = device;  // the node may have a new name
    e->device.com = e->com;
  }
  if (!read_) {
    read_ = true;
    takeChanges();  // what is there at first is what the probe finds
  }
}

comport::PortChanges PortTable::takeChanges() {
  comport::PortChanges changes;
  std::vector<std::pair<int, unsigned>> present;
  for (const Entry& e : entries_)
    if (e.present) present.emplace_back(e.com, e.arrival);
  for (const auto& r : reported_)
    if (std::find(present.begin(), present.end(), r) == present.end()) changes.left.push_back(static_cast<int16_t>(r.first));
  for (const auto& p : present)
    if (std::find(reported_.begin(), reported_.end(), p) == reported_.end())
      changes.arrived.push_back(static_cast<int16_t>(p.first));
  reported_ = std::move(present);
  std::sort(changes.arrived.begin(), changes.arrived.end());
  std::sort(changes.left.begin(), changes.left.end());
  return changes;
}

std::optional<SerialDevice> PortTable::find(int com) {
  auto lookUp = [&]() -> std::optional<SerialDevice> {
    for (const Entry& e : entries_)
      if (e.com == com && e.present) return e.device;
    return std::nullopt;
  };
  // A device found under its old node name is checked: the name may have
  // gone to another device since the last reading.
  if (read_)
    if (auto d = lookUp(); d && std::any_of(entries_.begin(), entries_.end(), [&](const Entry& e) {
          return e.com == com && identityOf(*d) == e.identity;
        }))
      return d;
  refresh();
  return lookUp();
}

std::string PortTable::identityOfCom(int com) {
  const auto d = find(com);
  return d ? identityOf(*d) : std::string();
}

int PortTable::comOfIdentity(const std::string& identity) {
  refresh();
  for (const Entry& e : entries_)
    if (e.present && e.identity == identity) return e.com;
  return 0;
}

int PortTable::comOfPath(const std::string& path) {
  const fs::path wanted = resolved(path);
  if (wanted.empty()) return 0;
  refresh();
  for (const Entry& e : entries_)
    if (e.present && resolved(e.device.path) == wanted) return e.com;
  return 0;
}

}  // namespace tl::serial_linux

// COM numbers that stay put while devices come and go. The resolver's rule
// numbers the devices present afresh each time; the table binds each
// number to one device for as long as that device stays, so that an entry
// chosen from the list never opens another device because numbering
// shifted. A new device takes the number the rule gives it where that is
// free, else the lowest free one; the port in use keeps its number while
// the program waits for its device to come back.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "serial/comport.h"
#include "serial/linux/port_resolver.h"

namespace tl::serial_linux {

class PortTable {
 public:
  explicit PortTable(PortResolver resolver) : resolver_(std::move(resolver)) {}

  // Reads the devices present again.
  void refresh();
  // What came and went since the last call (since the first reading, the
  // first time). A device that went and came back, or a number that went to
  // another device, counts as both.
  comport::PortChanges takeChanges();
  // The device bound to `com`, if it is present; looks again when it is not.
  std::optional<SerialDevice> find(int com);
  // The number of the device a path leads to (a /dev/serial/by-id link, a
  // node); 0 when it is no serial port present now.
  int comOfPath(const std::string& path);
  // What stays the same for the device on `com` across replugging and
  // renumbering ("" when none is there), and the number of the device with
  // that identity now (0 when it is not there): how a port is remembered.
  std::string identityOfCom(int com);
  int comOfIdentity(const std::string& identity);
  // The line is on `com` now: its number outlives a short absence.
  void setInUse(int com) { inUse_ = com; }
  const PortResolver& resolver() const { return resolver_; }

 private:
  struct Entry {
    int com;
    std::string identity;
    SerialDevice device;
    bool present;
    unsigned arrival;  // counts each time the entry became present
  };
  // What stays the same for a device across replugging: a USB adapter's
  // serial number where it has one (it follows the adapter to another
  // socket), else the USB socket or UART it sits on.
  std::string identityOf(const SerialDevice& d) const;

  PortResolver resolver_;
  std::vector<Entry> entries_;
  std::vector<std::pair<int, unsigned>> reported_;  // com, arrival told last
  unsigned arrivals_ = 0;
  int inUse_ = 0;
  bool read_ = false;
};

}  // namespace tl::serial_linux

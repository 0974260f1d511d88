// Whether a serial port is another program's, and taking one for ourselves.
//
// Linux serial ports are not exclusive by nature; programs mark the ones
// they use in one of several ways, and each must be honoured: flock(2) on
// the device, the tty's exclusive flag (TIOCEXCL, which root passes), a UUCP
// lock file "LCK..ttyS0" naming the owner's pid, and the kernel's console
// (/sys/class/tty/console/active), which is never a free port.
#pragma once

#include <memory>
#include <string>

#include "serial/linux/port_resolver.h"

namespace tl::serial_linux {

// Where the marks live: the console list below the resolver's root, and
// UUCP lock files in `lockDir`.
struct ClaimPlaces {
  std::string sysRoot = "/";
  std::string lockDir = "/run/lock";
};

// The places for `resolver`'s tree; an empty `lockDir` is "run/lock" below
// its root, so that a test tree has a lock directory of its own.
ClaimPlaces claimPlaces(const PortResolver& resolver, std::string lockDir);

// The probe: opens the device for reading and checks every mark, changing
// nothing about the port (no settings, no lock file, no exclusive flag).
// Returns the descriptor to close; raises the program's Error whose text
// does not name the port (the report puts the name before it).
int probeSerialDevice(const SerialDevice& dev, const ClaimPlaces& where);

// A port held by this program: its descriptor, its lock file and the
// exclusive flag, each undone on destruction only if this program made it.
class ClaimedPort {
 public:
  ~ClaimedPort();
  ClaimedPort(const ClaimedPort&) = delete;
  ClaimedPort& operator=(const ClaimedPort&) = delete;
  int fd() const { return fd_; }

 private:
  friend std::unique_ptr<ClaimedPort> claimSerialDevice(const SerialDevice&, const std::string&,
                                                        const ClaimPlaces&);
  ClaimedPort() = default;
  int fd_ = -1;
  bool exclusive_ = false;
  std::string lockFile_;  // empty: none written (no writable lock directory)
};

// The line: checks every mark, writes the lock file, opens the device for
// reading and writing at 9600 8N1 raw, never blocking on carrier, and sets
// the exclusive flag. Raises the program's Error naming `label`.
std::unique_ptr<ClaimedPort> claimSerialDevice(const SerialDevice& dev, const std::string& label,
                                               const ClaimPlaces& where);

// Raises the line's error for a failed call on the port named `label`.
[[noreturn]] void raiseOpenFailure(const std::string& label, const char* call, int errnum);

}  // namespace tl::serial_linux

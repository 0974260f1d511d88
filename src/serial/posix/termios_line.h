// The serial line over termios: opens COMn as its device, exclusively, at
// 9600 8N1 with DTR/RTS asserted, and watches the modem lines.
#pragma once

#include <functional>
#include <memory>

#include "serial/mscomm.h"
#include "serial/posix/modem_port.h"
#include "serial/posix/port_resolver.h"

namespace tl::posix {

// Opens a device node the way a serial port must be opened here: never
// blocking on carrier, raw 9600 8N1, and held exclusively (flock, which
// binds root too, and TIOCEXCL). Returns the descriptor or raises the
// program's Error naming `label` and the OS reason.
int openSerialDevice(const std::string& path, const std::string& label, bool readWrite);

class TermiosLineDriver : public LineDriver {
 public:
  explicit TermiosLineDriver(PortResolver resolver) : resolver_(std::move(resolver)) {}
  std::unique_ptr<OpenLine> open(int16_t port, bool dtr, bool rts, LineNotify notify) override;

 private:
  PortResolver resolver_;
};

std::string portLabel(int com, const std::string& path);

}  // namespace tl::posix

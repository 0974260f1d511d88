// The serial line over termios: opens COMn as its device, exclusively, at
// 9600 8N1 with DTR/RTS asserted, and watches the modem lines.
#pragma once

#include <functional>
#include <memory>

#include "serial/mscomm.h"
#include "serial/linux/modem_port.h"
#include "serial/linux/port_claim.h"
#include "serial/linux/port_resolver.h"
#include "serial/linux/port_table.h"

namespace tl::serial_linux {

class TermiosLineDriver : public LineDriver {
 public:
  // `lockDir` as for claimPlaces().
  explicit TermiosLineDriver(PortResolver resolver, std::string lockDir = "");
  explicit TermiosLineDriver(std::shared_ptr<PortTable> table, std::string lockDir = "");
  std::unique_ptr<OpenLine> open(int16_t port, bool dtr, bool rts, uint8_t watch, LineNotify notify) override;

 private:
  std::shared_ptr<PortTable> table_;
  ClaimPlaces places_;
};

std::string portLabel(int com, const std::string& path);

}  // namespace tl::serial_linux

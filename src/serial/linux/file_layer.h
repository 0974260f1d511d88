// The file layer the probe uses, over open(2): a name "COMn:..." opens the
// device COMn resolves to, for input, under a file number. It only looks:
// a port's settings stay as they are, and a port another program holds
// (see port_claim.h) is refused.
#pragma once

#include "serial/file_table.h"
#include "serial/linux/port_claim.h"
#include "serial/linux/port_resolver.h"
#include "serial/linux/port_table.h"

#include <memory>

namespace tl::serial_linux {

class PosixFileLayer : public comport::FileTable<int> {
 public:
  // `lockDir` as for claimPlaces().
  explicit PosixFileLayer(PortResolver resolver, std::string lockDir = "");
  // Sharing the program's table, so that the probe's numbers are the line's.
  explicit PosixFileLayer(std::shared_ptr<PortTable> table, std::string lockDir = "");

 protected:
  int openPort(int com) override;

 private:
  std::shared_ptr<PortTable> table_;
  ClaimPlaces places_;
};

}  // namespace tl::serial_linux

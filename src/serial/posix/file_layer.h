// The file layer the probe uses, over open(2): a name "COMn:..." opens the
// device COMn resolves to, for input, under a file number.
#pragma once

#include "serial/file_table.h"
#include "serial/posix/port_resolver.h"

namespace tl::posix {

class PosixFileLayer : public comport::FileTable<int> {
 public:
  explicit PosixFileLayer(PortResolver resolver);

 protected:
  int openPort(int com) override;

 private:
  PortResolver resolver_;
};

}  // namespace tl::posix

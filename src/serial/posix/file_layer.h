// The file layer the probe uses, over open(2): a name "COMn:..." opens the
// device COMn resolves to, for input, under a file number.
#pragma once

#include <map>

#include "serial/comport.h"
#include "serial/posix/port_resolver.h"

namespace tl::posix {

class PosixFileLayer : public comport::FileLayer {
 public:
  explicit PosixFileLayer(PortResolver resolver) : resolver_(std::move(resolver)) {}
  ~PosixFileLayer() override;
  int16_t FreeFile() override;
  void Open(const std::string& name, int16_t fileNumber) override;
  void Close(int16_t fileNumber) override;
  size_t openCount() const { return open_.size(); }

 private:
  PortResolver resolver_;
  std::map<int16_t, int> open_;  // file number -> descriptor
};

}  // namespace tl::posix

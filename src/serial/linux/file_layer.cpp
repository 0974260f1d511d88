#include "serial/linux/file_layer.h"

#include <unistd.h>

#include "serial/linux/termios_line.h"

namespace tl::serial_linux {

PosixFileLayer::PosixFileLayer(PortResolver resolver, std::string lockDir)
    : PosixFileLayer(std::make_shared<PortTable>(std::move(resolver)), std::move(lockDir)) {}

PosixFileLayer::PosixFileLayer(std::shared_ptr<PortTable> table, std::string lockDir)
    : FileTable([](int fd) { ::close(fd); }),
      table_(std::move(table)),
      places_(claimPlaces(table_->resolver(), std::move(lockDir))) {}

int PosixFileLayer::openPort(int com) {
  const auto dev = table_->find(com);
  if (!dev) throw Error(err::kDeviceUnavailable, "Gerät nicht verfügbar: COM" + std::to_string(com));
  return probeSerialDevice(*dev, places_);
}

}  // namespace tl::serial_linux

#include "serial/linux/file_layer.h"

#include <unistd.h>

#include "serial/linux/termios_line.h"

namespace tl::serial_linux {

PosixFileLayer::PosixFileLayer(PortResolver resolver, std::string lockDir)
    : FileTable([](int fd) { ::close(fd); }),
      resolver_(std::move(resolver)),
      places_(claimPlaces(resolver_, std::move(lockDir))) {}

int PosixFileLayer::openPort(int com) {
  const auto dev = resolver_.find(com);
  if (!dev) throw Error(err::kDeviceUnavailable, "Gerät nicht verfügbar: COM" + std::to_string(com));
  return probeSerialDevice(*dev, places_);
}

}  // namespace tl::serial_linux

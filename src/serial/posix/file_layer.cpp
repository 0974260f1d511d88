#include "serial/posix/file_layer.h"

#include <unistd.h>

#include "serial/posix/termios_line.h"

namespace tl::posix {

PosixFileLayer::PosixFileLayer(PortResolver resolver)
    : FileTable([](int fd) { ::close(fd); }), resolver_(std::move(resolver)) {}

int PosixFileLayer::openPort(int com) {
  const auto dev = resolver_.find(com);
  if (!dev) throw Error(err::kDeviceUnavailable, "Gerät nicht verfügbar: COM" + std::to_string(com));
  return openSerialDevice(dev->path, portLabel(com, dev->path), false);
}

}  // namespace tl::posix

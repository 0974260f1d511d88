#include "serial/posix/file_layer.h"

#include <unistd.h>

#include "serial/posix/termios_line.h"
#include "window/runtime.h"

namespace tl::posix {

PosixFileLayer::~PosixFileLayer() {
  for (auto& [number, fd] : open_) ::close(fd);
}

int16_t PosixFileLayer::FreeFile() {
  for (int16_t n = 1; n <= 511; ++n)
    if (!open_.count(n)) return n;
  throw Error(67, "Zu viele Dateien");
}

void PosixFileLayer::Open(const std::string& name, int16_t fileNumber) {
  if (fileNumber < 1 || fileNumber > 511) throw Error(err::kBadFileNumber, "Dateinummer falsch");
  if (open_.count(fileNumber)) throw Error(55, "Datei bereits geöffnet");
  const int com = comport::portNumberOf(name);
  if (com == 0) throw Error(err::kFileNotFound, "Datei nicht gefunden: " + name);
  const auto dev = resolver_.find(com);
  if (!dev) throw Error(err::kDeviceUnavailable, "Gerät nicht verfügbar: COM" + std::to_string(com));
  open_[fileNumber] = openSerialDevice(dev->path, portLabel(com, dev->path), false);
}

void PosixFileLayer::Close(int16_t fileNumber) {
  auto it = open_.find(fileNumber);
  if (it == open_.end()) throw Error(err::kBadFileNumber, "Dateinummer falsch");
  ::close(it->second);
  open_.erase(it);
}

}  // namespace tl::posix

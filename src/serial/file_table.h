// The file layer's bookkeeping, shared by the platforms: file numbers 1-511,
// names "COMn:..." resolved to a port number, errors as the runtime raises
// them. A platform supplies only how a port is opened and closed.
#pragma once

#include <functional>
#include <map>
#include <string>

#include "serial/comport.h"
#include "core/runtime.h"

namespace tl::comport {

template <typename Handle>
class FileTable : public FileLayer {
 public:
  explicit FileTable(std::function<void(Handle)> closePort) : closePort_(std::move(closePort)) {}
  ~FileTable() override {
    for (auto& [number, h] : open_) closePort_(h);
  }

  int16_t FreeFile() override {
    for (int16_t n = 1; n <= 511; ++n)
      if (!open_.count(n)) return n;
    throw Error(67, "Zu viele Dateien");
  }

  void Open(const std::string& name, int16_t fileNumber) override {
    if (fileNumber < 1 || fileNumber > 511) throw Error(err::kBadFileNumber, "Dateinummer falsch");
    if (open_.count(fileNumber)) throw Error(55, "Datei bereits geöffnet");
    const int com = portNumberOf(name);
    if (com == 0) throw Error(err::kFileNotFound, "Datei nicht gefunden: " + name);
    open_[fileNumber] = openPort(com);
  }

  void Close(int16_t fileNumber) override {
    auto it = open_.find(fileNumber);
    if (it == open_.end()) throw Error(err::kBadFileNumber, "Dateinummer falsch");
    closePort_(it->second);
    open_.erase(it);
  }

  size_t openCount() const { return open_.size(); }

 protected:
  // Opens COM<com> for input, or raises the program's Error.
  virtual Handle openPort(int com) = 0;

 private:
  std::function<void(Handle)> closePort_;
  std::map<int16_t, Handle> open_;
};

}  // namespace tl::comport

#include "keys/linux/injectors.h"
#include "main/linux_app.h"
#include "serial/linux/file_layer.h"
#include "serial/linux/termios_line.h"

int main(int argc, char** argv) {
  using namespace tl;
  app::Platform p;
  p.makeLine = [] { return std::make_unique<serial_linux::TermiosLineDriver>(serial_linux::PortResolver("/")); };
  p.makeFiles = [] { return std::make_unique<serial_linux::PosixFileLayer>(serial_linux::PortResolver("/")); };
  p.makeKeys = [] { return keys_linux::makeSystemInjector(); };
  p.keysUpNow = keys_linux::keysUpNow;
  p.runHelperIfAsked = keys_linux::runKeyWatcherIfAsked;
  p.deviceOf = [](int com) {
    const auto d = serial_linux::PortResolver("/").find(com);
    return d ? d->path : std::string();
  };
  return app::run(argc, argv, p);
}

#include "keys/linux/injectors.h"
#include "main/linux_app.h"
#include "serial/posix/file_layer.h"
#include "serial/posix/termios_line.h"

int main(int argc, char** argv) {
  using namespace tl;
  app::Platform p;
  p.makeLine = [] { return std::make_unique<posix::TermiosLineDriver>(posix::PortResolver("/")); };
  p.makeFiles = [] { return std::make_unique<posix::PosixFileLayer>(posix::PortResolver("/")); };
  p.makeKeys = [] { return keys::makeSystemInjector(); };
  p.keysUpNow = keys::keysUpNow;
  p.runHelperIfAsked = keys::runKeyWatcherIfAsked;
  p.deviceOf = [](int com) {
    const auto d = posix::PortResolver("/").find(com);
    return d ? d->path : std::string();
  };
  return app::run(argc, argv, p);
}

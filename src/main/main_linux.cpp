#include "keys/linux/injectors.h"
#include "desktop/linux/user_files.h"
#include "main/linux_app.h"
#include "serial/linux/device_watch.h"
#include "serial/linux/file_layer.h"
#include "serial/linux/termios_line.h"

int main(int argc, char** argv) {
  using namespace tl;
  app::Platform p;
  // One table of COM numbers for the probe, the line, the list's tooltips
  // and the device watch, so that a number means the same device to all.
  auto table = std::make_shared<serial_linux::PortTable>(serial_linux::PortResolver("/"));
  p.makeLine = [table] { return std::make_unique<serial_linux::TermiosLineDriver>(table); };
  p.makeFiles = [table] { return std::make_unique<serial_linux::PosixFileLayer>(table); };
  p.makeWatch = [table] { return serial_linux::UdevWatch::make(table); };
  static keys_linux::InjectionNote keysNote;
  p.makeKeys = [](bool pointer) { return keys_linux::makeSystemInjector("/dev/uinput", &keysNote, pointer); };
  p.keysNote = [] { return std::pair(keysNote.text, keysNote.partial); };
  p.keysUpNow = keys_linux::keysUpNow;
  p.runHelperIfAsked = keys_linux::runKeyWatcherIfAsked;
  p.settingsMistakeBox = true;
  p.deviceOf = [table](int com) {
    const auto d = table->find(com);
    return d ? d->path : std::string();
  };
  p.portOf = [table](const std::string& path) { return static_cast<int16_t>(table->comOfPath(path)); };
  desktop_linux::addSettingsHooks(p, [table](int com) { return table->identityOfCom(com); },
                        [table](const std::string& device) { return table->comOfIdentity(device); });
  return app::run(argc, argv, p);
}

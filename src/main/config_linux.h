// What the Linux program reads and keeps between runs: the user's settings
// file (only ever read, so its comments and layout stay the user's), a
// state file of its own for the port chosen last, and the desktop
// session's autostart entry.
#pragma once

#include <string>

#include "app/platform.h"
#include "app/settings.h"

namespace tl::app {

// $XDG_CONFIG_HOME, else ~/.config.
std::string configHome();

// configHome()/Tastlink/tastlink.conf in Qt's INI format. A missing file
// has no values; one that cannot be read raises SettingsError.
IniFile readSettingsFile();

// The port chosen last, from configHome()/Tastlink/state.conf; "" if none.
std::string rememberedPort();
void rememberPort(const std::string& port);

// Writes (on) or removes (off) configHome()/autostart/<id>.desktop, which
// starts `program` minimized and waiting for a port. "" on success, else
// a German sentence saying why not.
std::string setAutostart(bool on, const std::string& program);

// This program's own file, for the autostart entry to start.
std::string ownProgram();

// The platform's settings, remembered port and autostart hooks, as above.
void addSettingsHooks(Platform& p);

}  // namespace tl::app

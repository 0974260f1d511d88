// What the Linux program reads and keeps between runs: the user's settings
// file (only ever read, so its comments and layout stay the user's), a
// state file of its own for the port chosen last, and the desktop
// session's autostart entry.
#pragma once

#include <functional>
#include <string>

#include "app/platform.h"
#include "app/settings.h"

namespace tl::desktop_linux {

// $XDG_CONFIG_HOME, else ~/.config.
std::string configHome();

// configHome()/Tastlink/tastlink.conf in Qt's INI format. A missing file
// has no values; one that cannot be read raises SettingsError.
app::IniFile readSettingsFile();

// The port chosen last, from configHome()/Tastlink/state.conf; "" if none.
// With `comOf`, the device it was (its identity, kept beside the number)
// where that is present now under whatever number; else the number.
std::string rememberedPort(const std::function<int(const std::string& device)>& comOf = {});
void rememberPort(const std::string& port, const std::string& device = {});

// Writes (on) or removes (off) configHome()/autostart/<id>.desktop, which
// starts `program` minimized and waiting for a port. "" on success, else
// a German sentence saying why not.
std::string setAutostart(bool on, const std::string& program);

// This program's own file, for the autostart entry to start.
std::string ownProgram();

// The platform's settings, remembered port and autostart hooks, as above;
// `deviceOf` and `comOf` (where the platform knows devices) turn a COM
// number into its device's identity and back.
void addSettingsHooks(app::Platform& p, std::function<std::string(int com)> deviceOf = {},
                      std::function<int(const std::string& device)> comOf = {});

}  // namespace tl::desktop_linux

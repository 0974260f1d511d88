// The OS-facing pieces a front end is assembled from. The shipped programs
// fill them with the real serial line, probe and key injection; a test
// build may put simulated ones in and run the same front end.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "keys/keyboard.h"
#include "serial/comport.h"
#include "serial/mscomm.h"
#include "app/settings.h"

namespace tl::app {

struct Platform {
  std::function<std::unique_ptr<LineDriver>()> makeLine;
  std::function<std::unique_ptr<comport::FileLayer>()> makeFiles;
  // `pointer`: a switch is a mouse button. May raise Error.
  std::function<std::unique_ptr<KeyInjector>(bool pointer)> makeKeys;
  // After makeKeys: what to tell about the way keys are sent ("" for
  // nothing), and whether the window must say it too (keys that reach only
  // some programs).
  std::function<std::pair<std::string, bool>()> keysNote;
  std::function<std::string(int com)> deviceOf;           // for list tooltips
  // Serial devices coming and going; none where the platform cannot tell.
  std::function<std::unique_ptr<comport::DeviceWatch>()> makeWatch;
  // Lets a held key up from a signal handler on the way to a crash; must be
  // async-signal-safe.
  void (*keysUpNow)() noexcept = nullptr;
  // The settings file, read; none there means no values. May raise
  // SettingsError (a line the reader cannot make sense of).
  std::function<IniFile()> readSettings;
  // A device path the user gave for a port (Linux) as the COM number it
  // has now; 0 when there is no such port now. COM names never come here.
  std::function<int16_t(const std::string&)> portOf;
  // The port chosen last (remember=true), kept apart from the user's file.
  std::function<std::string()> rememberedPort;
  std::function<void(const std::string&)> rememberPort;
  // Writes (true) or removes the per-user autostart entry: "" or why not.
  std::function<std::string(bool on)> setAutostart;
  // Writes the file's settings back into the settings file, changing only
  // what changed: "" or a German sentence why not.
  std::function<std::string(const Settings&)> saveSettings;
  // The settings file's path, watched for edits by hand.
  std::function<std::string()> settingsPath;
  // Whether the per-user autostart entry is there now.
  std::function<bool()> autostartOn;
  // When this process was started as a helper of another (the key watcher),
  // runs it and returns its exit code; otherwise returns -1.
  int (*runHelperIfAsked)() = nullptr;
  // A mistake in the settings file is also shown in a box where nobody
  // reads standard error (started from the menu or with the session).
  bool settingsMistakeBox = false;
};

}  // namespace tl::app

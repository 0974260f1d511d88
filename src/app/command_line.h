// The program's command line, the same on every platform: which options
// exist, what they mean and how a mistake is told, in German. Parsed before
// anything else happens, so that --help never touches a port or a window.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tl::app {

struct CommandLine {
  enum class Action { Run, Help, Version, Mistake };
  Action action = Action::Run;
  // Mistake: what was wrong, one line, without the program's name.
  std::string mistake;
  // Settings given as options, in order, checked later with the file's:
  // the option as written, the setting's name, its value.
  struct Setting {
    std::string option, name, value;
  };
  std::vector<Setting> settings;
  // --autostart on|off: write or remove the autostart entry, then end.
  std::optional<bool> autostart;
};

// `args` without the program's own name.
CommandLine parseCommandLine(const std::vector<std::string>& args);

// "Tastlink 1.0.0"
std::string versionText();
// The usage text --help prints, several lines.
std::string usageText();
// The line a mistake ends with, pointing to --help.
std::string mistakeHint();

// Exit codes: 0 for --help and --version, this for a mistake on the line.
constexpr int kExitUsage = 2;

}  // namespace tl::app

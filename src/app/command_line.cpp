#include "app/command_line.h"

#include <algorithm>

namespace tl::app {

namespace {

struct Option {
  const char* shortName;  // "" where there is none
  const char* longName;
  CommandLine::Action action;
  const char* help;
};

// One table: parsing and the usage text read the same rows.
const Option kOptions[] = {
    {"-h", "--help", CommandLine::Action::Help, "diese Hilfe zeigen und beenden"},
    {"", "--version", CommandLine::Action::Version, "die Versionsnummer zeigen und beenden"},
};

}  // namespace

CommandLine parseCommandLine(const std::vector<std::string>& args) {
  CommandLine result;
  for (const std::string& arg : args) {
    const Option* found = nullptr;
    for (const Option& o : kOptions)
      if (arg == o.longName || (*o.shortName && arg == o.shortName)) found = &o;
    if (!found) {
      result.action = CommandLine::Action::Mistake;
      result.mistake = (arg.size() > 1 && arg[0] == '-') ? "unbekannte Option \u201E" + arg + "\u201C"
                                                         : "unerwartetes Argument \u201E" + arg + "\u201C";
      return result;
    }
    // --help wins over --version, whatever the order, as in most tools.
    if (result.action != CommandLine::Action::Help) result.action = found->action;
  }
  return result;
}

std::string versionText() { return std::string("Tastlink ") + TASTLINK_VERSION; }

std::string usageText() {
  std::string text =
      "Aufruf: tastlink [OPTION]\n"
      "Macht einen Taster an der seriellen Schnittstelle (zwischen Pin 7 und Pin 8 der\n"
      "9-poligen D-Sub-Buchse) zur Umschalttaste.\n\n"
      "Optionen:\n";
  for (const Option& o : kOptions) {
    std::string names = std::string(*o.shortName ? o.shortName : "  ") + (*o.shortName ? ", " : "  ") + o.longName;
    names.resize(std::max<size_t>(names.size() + 2, 16), ' ');
    text += "  " + names + o.help + "\n";
  }
  return text;
}

std::string mistakeHint() { return "\u201Etastlink --help\u201C zeigt alle Optionen."; }

}  // namespace tl::app

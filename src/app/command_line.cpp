#include "app/command_line.h"

#include <algorithm>

namespace tl::app {

namespace {

struct Option {
  const char* shortName;  // "" where there is none
  const char* longName;
  CommandLine::Action action;
  const char* value;    // what follows, as --help names it; "" for none
  const char* setting;  // the setting it stands for; "" for none
  const char* help;
};

using A = CommandLine::Action;

// One table: parsing and the usage text read the same rows.
const Option kOptions[] = {
    {"-h", "--help", A::Help, "", "", "diese Hilfe zeigen und beenden"},
    {"", "--version", A::Version, "", "", "die Versionsnummer zeigen und beenden"},
#ifdef _WIN32
    {"", "--port", A::Run, "ANSCHLUSS", "port", "diesen Anschluss beim Start öffnen (COM3)"},
#else
    {"", "--port", A::Run, "ANSCHLUSS", "port", "beim Start öffnen (COM3, /dev/ttyUSB0)"},
#endif
    {"", "--key", A::Run, "TASTE", "key", "Taste (Shift, Ctrl+C, MouseLeft, PlayPause, …)"},
    {"", "--line", A::Run, "LEITUNG", "line", "die Leitung des Schalters: CTS, DSR, DCD oder RI"},
    {"", "--invert", A::Run, "", "invert", "Öffner: wirkt, solange die Leitung offen ist"},
    {"", "--no-invert", A::Run, "", "invert", "Schließer, auch wenn die Datei invert=true sagt"},
    {"", "--mode", A::Run, "ART", "mode", "hold (Taste halten) oder toggle (umschalten)"},
    {"", "--debounce", A::Run, "MS", "debounce", "Entprellzeit in Millisekunden (0 bis 1000)"},
    {"", "--minimized", A::Run, "", "minimized", "mit verkleinertem Fenster starten"},
    {"", "--no-minimized", A::Run, "", "minimized", "mit offenem Fenster starten"},
    {"", "--wait-for-port", A::Run, "", "wait-for-port", "ohne Anschluss auf einen Adapter warten"},
    {"", "--no-wait-for-port", A::Run, "", "wait-for-port", "ohne Anschluss nicht warten"},
    {"", "--autostart", A::Run, "on|off", "", "mit der Sitzung starten (on) oder nicht (off)"},
};

CommandLine mistake(std::string what) {
  CommandLine result;
  result.action = A::Mistake;
  result.mistake = std::move(what);
  return result;
}

std::string quoted(const std::string& s) { return "\u201E" + s + "\u201C"; }

}  // namespace

CommandLine parseCommandLine(const std::vector<std::string>& args) {
  CommandLine result;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    // --name=value as well as --name value
    const size_t eq = arg.rfind("--", 0) == 0 ? arg.find('=') : std::string::npos;
    const std::string name = arg.substr(0, eq);
    const Option* found = nullptr;
    for (const Option& o : kOptions)
      if (name == o.longName || (*o.shortName && name == o.shortName)) found = &o;
    if (!found)
      return mistake((arg.size() > 1 && arg[0] == '-') ? "unbekannte Option " + quoted(arg)
                                                       : "unerwartetes Argument " + quoted(arg));
    // --no-invert and the like switch off what the file switches on.
    std::string value = name.rfind("--no-", 0) == 0 ? "false" : "true";
    if (*found->value) {
      if (eq != std::string::npos)
        value = arg.substr(eq + 1);
      else if (i + 1 < args.size())
        value = args[++i];
      else
        value.clear();
      if (value.empty()) return mistake("die Option " + name + " braucht einen Wert (" + found->value + ")");
    } else if (eq != std::string::npos) {
      return mistake("die Option " + name + " nimmt keinen Wert");
    }
    if (name == "--autostart") {
      if (value != "on" && value != "off")
        return mistake("--autostart nimmt on oder off, nicht " + quoted(value));
      result.autostart = value == "on";
    } else if (*found->setting) {
      result.settings.push_back({name, found->setting, value});
    }
    // --help wins over --version, whatever the order, as in most tools.
    if (result.action != A::Help && found->action != A::Run) result.action = found->action;
  }
  return result;
}

std::string versionText() { return std::string("Tastlink ") + TASTLINK_VERSION; }

#ifdef _WIN32
// Windows shows the help in a message box: a proportional font, lines the
// box wraps itself. So no columns aligned by spaces, no hard line breaks in
// a sentence, and the program named as the user starts it.
std::string usageText() {
  std::string text =
      "Aufruf: Tastlink.exe [OPTION …]\n"
      "Macht einen Taster an der seriellen Schnittstelle (zwischen Pin 7 und Pin 8 der 9-poligen D-Sub-Buchse) "
      "zur Umschalttaste.\n\n"
      "Optionen:\n";
  for (const Option& o : kOptions) {
    std::string names = std::string(o.shortName) + (*o.shortName ? ", " : "") + o.longName;
    if (*o.value) names += std::string(" ") + o.value;
    text += names + " \u2013 " + o.help + "\n";
  }
  return text +
         "\nDie Optionen für den Schalter (--key bis --debounce) gelten für den ersten Schalter und nur für diesen "
         "Aufruf. Weitere Schalter und remember=true stehen in %APPDATA%\\Tastlink\\tastlink.ini (siehe "
         "LIESMICH.txt).\n";
}

std::string mistakeHint() { return "\u201ETastlink.exe --help\u201C zeigt alle Optionen."; }
#else
std::string usageText() {
  std::string text =
      "Aufruf: tastlink [OPTION …]\n"
      "Macht einen Taster an der seriellen Schnittstelle (zwischen Pin 7 und Pin 8 der\n"
      "9-poligen D-Sub-Buchse) zur Umschalttaste.\n\n"
      "Optionen:\n";
  for (const Option& o : kOptions) {
    std::string names = std::string(*o.shortName ? o.shortName : "  ") + (*o.shortName ? ", " : "  ") + o.longName;
    if (*o.value) names += std::string(" ") + o.value;
    names.resize(std::max<size_t>(names.size() + 2, 28), ' ');
    text += "  " + names + o.help + "\n";
  }
  text +=
      "\nDie Optionen für den Schalter (--key bis --debounce) gelten für den ersten\n"
      "Schalter und nur für diesen Aufruf. Weitere Schalter und remember=true stehen\n"
      "in ~/.config/Tastlink/tastlink.conf (siehe man tastlink).\n";
  return text;
}

std::string mistakeHint() { return "\u201Etastlink --help\u201C zeigt alle Optionen."; }
#endif

}  // namespace tl::app

// Switches and settings: which line stands for which key and how, and what
// the settings file and the options may say.
#include <gtest/gtest.h>

#include "app/command_line.h"
#include "app/settings.h"
#include "fakes/fakes.h"

using namespace tl;
using Strings = std::vector<std::string>;

namespace {

SwitchSetting sw(uint8_t line, const char* keys, bool invert = false, bool toggle = false, int debounce = 0) {
  SwitchSetting s{line, {}, invert, toggle, debounce};
  EXPECT_EQ(KeyChord::parse(keys, s.key), "") << keys;
  return s;
}

// What reached the desktop and the status text since `mark`.
Strings keysAndLabels(const fake::World& w, size_t mark) {
  Strings out;
  for (const std::string& e : w.since(mark))
    if (e.rfind("key:", 0) == 0 || e.rfind("label:", 0) == 0) out.push_back(e);
  return out;
}

constexpr uint8_t CTS = lines::CTS, DSR = lines::DSR, DCD = lines::DCD;

}  // namespace

// Each row: the switches, then line changes (line, level), where line 0
// means "the debounce time has passed", and what the desktop sees.
TEST(Switches, LinesBecomeKeysAsSet) {
  struct Row {
    const char* what;
    std::vector<SwitchSetting> switches;
    std::vector<std::pair<uint8_t, bool>> changes;
    Strings expected;
    size_t room = 0;  // characters the status line holds; 0: any text
  };
  const Row rows[] = {
      {"two switches in overlap",
       {sw(CTS, "Shift"), sw(DSR, "Ctrl")},
       {{CTS, true}, {DSR, true}, {CTS, false}, {DSR, false}},
       {"key:16,1,0,0", "label:SHIFT gedrückt", "key:17,0,0,0", "label:STRG gedrückt", "key:16,1,2,0",
        "label:SHIFT losgelassen", "key:17,0,2,0", "label:STRG losgelassen"}},
      {"a line without a switch says nothing", {sw(CTS, "Shift")}, {{DCD, true}, {DSR, true}}, {}},
      {"inverted: a normally closed switch",
       {sw(DSR, "F5", true)},
       {{DSR, false}, {DSR, true}},
       {"key:116,0,0,0", "label:F5 gedrückt", "key:116,0,2,0", "label:F5 losgelassen"}},
      {"toggle: each press flips the key",
       {sw(CTS, "Space", false, true)},
       {{CTS, true}, {CTS, false}, {CTS, true}, {CTS, false}},
       {"key:32,0,0,0", "label:LEERTASTE gedrückt", "key:32,0,2,0", "label:LEERTASTE losgelassen"}},
      {"a combination: down in order, up in reverse",
       {sw(CTS, "Ctrl+Shift+F5")},
       {{CTS, true}, {CTS, false}},
       {"key:17,0,0,0", "key:16,1,0,0", "key:116,0,0,0", "label:STRG+UMSCHALT+F5 gedrückt", "key:116,0,2,0",
        "key:16,1,2,0", "key:17,0,2,0", "label:STRG+UMSCHALT+F5 losgelassen"}},
      {"a mouse button is held; a media key is tapped on activation only",
       {sw(CTS, "MausLinks"), sw(DSR, "playpause")},
       {{CTS, true}, {DSR, true}, {DSR, false}, {CTS, false}},
       {"key:1,0,0,0", "label:MAUS LINKS gedrückt", "key:179,0,0,0", "key:179,0,2,0",
        "label:WIEDERGABE/PAUSE gedrückt", "key:1,0,2,0", "label:MAUS LINKS losgelassen"}},
      {"toggle flips the whole combination; a shared Ctrl stays down while held",
       {sw(CTS, "Strg+C", false, true), sw(DSR, "Ctrl+V")},
       {{CTS, true}, {CTS, false}, {DSR, true}, {DSR, false}, {CTS, true}},
       {"key:17,0,0,0", "key:67,0,0,0", "label:STRG+C gedrückt", "key:17,0,0,0", "key:86,0,0,0",
        "label:STRG+V gedrückt", "key:86,0,2,0", "label:STRG+V losgelassen", "key:67,0,2,0", "key:17,0,2,0",
        "label:STRG+C losgelassen"}},
      {"what does not fit is shortened, the last key always named",
       {sw(CTS, "Ctrl+Alt+Shift+Space"), sw(DSR, "MouseRight")},
       {{CTS, true}, {CTS, false}, {DSR, true}, {DSR, false}},
       {"key:17,0,0,0", "key:18,0,0,0", "key:16,1,0,0", "key:32,0,0,0",
        "label:…+UMSCH+LEER gedr. (STRG+ALT+UMSCHALT+LEERTASTE gedrückt)", "key:32,0,2,0", "key:16,1,2,0",
        "key:18,0,2,0", "key:17,0,2,0", "label:…+ALT+UMSCH+LEER los (STRG+ALT+UMSCHALT+LEERTASTE losgelassen)",
        "key:2,0,0,0", "label:MAUS RECHTS gedrückt", "key:2,0,2,0", "label:MAUS RECHTS los (MAUS RECHTS losgelassen)"},
       21},
      {"debounce: a burst counts once it settles",
       {sw(CTS, "A", false, false, 20)},
       {{CTS, true}, {CTS, false}, {CTS, true}, {0, false}, {CTS, false}, {CTS, true}, {0, false}, {CTS, false}, {0, false}},
       {"key:65,0,0,0", "label:A gedrückt", "key:65,0,2,0", "label:A losgelassen"}},
  };
  for (const Row& r : rows) {
    fake::World w;
    w.files.openable = {3};
    w.form.label1Room = r.room;
    w.form1.Switches = r.switches;
    w.form1.Form_Load();
    uint8_t watched = 0;
    for (const auto& s : r.switches) watched |= s.line;
    EXPECT_EQ(w.driver.watched, watched) << r.what;
    const size_t mark = w.log.size();
    for (auto [line, on] : r.changes) {
      if (line) w.set(line, on);
      w.queue.pump();
      if (!line) w.form.runTimers();
    }
    EXPECT_EQ(keysAndLabels(w, mark), r.expected) << r.what;
  }
}

TEST(Switches, EveryWayOutLetsEveryHeldKeyUpAndNoTimerPressesLater) {
  fake::World w;
  w.files.openable = {3};
  w.form1.Switches = {sw(CTS, "Shift"), sw(DSR, "Ctrl+Alt+Tab", false, true), sw(DCD, "Alt", false, false, 20),
                      sw(lines::RI, "MouseLeft")};
  w.form1.Form_Load();
  w.set(CTS, true);
  w.set(DSR, true);  // toggled down: held as much as a held switch
  w.set(DCD, true);  // still bouncing when the window goes
  w.set(lines::RI, true);
  w.queue.pump();
  const size_t mark = w.log.size();
  w.form1.Shutdown();
  w.form.runTimers();
  EXPECT_EQ(keysAndLabels(w, mark), (Strings{"key:1,0,2,0", "key:9,0,2,0", "key:18,0,2,0", "key:17,0,2,0",
                                             "key:16,1,2,0", "label:Tasten losgelassen"}));
}

TEST(Switches, ASessionGoingOnPutsBackOnlyTheKeysItsLinesHold) {
  fake::World w;
  w.files.openable = {3};
  w.form1.Switches = {sw(CTS, "Shift"), sw(DSR, "Ctrl")};
  w.form1.Form_Load();
  w.set(CTS, true);
  w.queue.pump();
  w.form1.LetKeysUp();
  const size_t mark = w.log.size();
  w.form1.Resync();
  EXPECT_EQ(keysAndLabels(w, mark), (Strings{"key:16,1,0,0", "label:SHIFT gedrückt"}));
}

TEST(Switches, ReChoosingThePortKeepsHeldKeysOnlyWhereTheLineStillHoldsThem) {
  fake::World w;
  w.files.openable = {3};
  w.form1.Switches = {sw(CTS, "Shift"), sw(DSR, "Ctrl"), sw(DCD, "Tab", false, true)};
  w.form1.Form_Load();
  for (uint8_t l : {CTS, DSR, DCD}) w.set(l, true);
  w.queue.pump();
  w.driver.others = DCD;  // DSR let go while the line was being reopened; the toggle stays
  const size_t mark = w.log.size();
  w.form.selected = 0;
  w.form1.Combo1_Click();
  EXPECT_EQ(keysAndLabels(w, mark), (Strings{"key:17,0,2,0", "label:STRG losgelassen"}));
}

TEST(StartPort, OpensTheNamedPortOrSaysWhyNotOrWaitsForIt) {
  struct Row {
    int16_t start;
    bool wait;
    std::string expectOpen;  // "" for none
    std::string label;
  };
  const Row rows[] = {
      {12, false, "open:12 dtr rts", "Kein Kabel gefunden"},
      {7, false, "open:3 dtr rts", "Kein Kabel gefunden"},
      {7, true, "", "Warte auf Adapter"},
  };
  for (const Row& r : rows) {
    fake::World w;
    w.files.openable = {3, 12};
    Strings logged;
    w.form1.Log = [&](const std::string& t) { logged.push_back(t); };
    w.form1.StartPort = r.start;
    w.form1.WaitForPort = r.wait;
    w.form1.Form_Load();
    const bool opened = std::find(w.log.begin(), w.log.end(), r.expectOpen) != w.log.end();
    EXPECT_EQ(opened || r.expectOpen.empty(), true) << r.start;
    EXPECT_EQ(w.line.PortOpen(), !r.expectOpen.empty()) << r.start;
    EXPECT_EQ(w.form.label1, r.label);
    EXPECT_EQ(logged.size(), r.start == 7 && !r.wait ? 1u : 0u) << "an absent start port is said, once";
    if (!r.wait) continue;
    // A port other than the one named comes: not it. Then the named one.
    w.files.openable.insert(9);
    w.form1.PortsChanged({{9}, {}});
    EXPECT_FALSE(w.line.PortOpen());
    w.files.openable.insert(7);
    w.form1.PortsChanged({{7}, {}});
    EXPECT_TRUE(w.line.PortOpen());
    EXPECT_EQ(w.line.CommPort(), 7);
  }
}

TEST(StartPort, APathNamedPortNotThereIsWaitedForAlone) {
  fake::World w;
  w.files.openable = {3};
  int16_t pathIs = 0;  // the device path's number: not there yet
  w.form1.StartPortOf = [&] { return pathIs; };
  w.form1.WaitForPort = true;
  w.form1.Form_Load();
  EXPECT_FALSE(w.line.PortOpen()) << "COM3 is not the port asked for";
  w.files.openable.insert(5);
  pathIs = 5;
  w.form1.PortsChanged({{5}, {}});
  EXPECT_EQ(w.line.CommPort(), 5);
  EXPECT_TRUE(w.line.PortOpen());
}

TEST(StartPort, AChosenPortIsHandedOnForRemembering) {
  fake::World w;
  w.files.openable = {3, 12};
  std::vector<int16_t> chosen;
  w.form1.PortChosen = [&](int16_t p) { chosen.push_back(p); };
  w.form1.Form_Load();
  w.form.selected = 1;
  w.form1.Combo1_Click();
  w.driver.refuse = {3};
  w.form.selected = 0;
  w.form1.Combo1_Click();  // refused: not a choice to remember
  EXPECT_EQ(chosen, (std::vector<int16_t>{12}));
}

namespace {

std::string settingsError(const std::string& text, const std::vector<std::string>& args = {}) {
  try {
    app::Settings s = app::settingsFromFile(app::parseIni(text, "/h/tastlink.conf"));
    const app::CommandLine cl = app::parseCommandLine(args);
    for (const auto& o : cl.settings) app::applyOption(s, o.option, o.name, o.value);
    app::checkSwitches(s.switches, "");
  } catch (const app::SettingsError& e) {
    return e.what();
  }
  return "";
}

}  // namespace

TEST(Settings, FileAndOptionsMeanTheSameAndOptionsWin) {
  const std::string text =
      "\xEF\xBB\xBF; made in Notepad\n"
      "[General]\nport=COM4   ; as Qt's reader has it, a comment\nremember=true\nminimized=ja\nwait-for-port=1\n\n"
      "[switch1]  ; CTS\nline=cts\nkey=\"ctrl\"\nmode=toggle\n"
      "[Switch2]\n  line = DSR \nkey=F24\ninvert=true\ndebounce=25\n";
  app::Settings s = app::settingsFromFile(app::parseIni(text, "x"));
  EXPECT_EQ(s.port, "COM4");
  EXPECT_TRUE(s.remember && s.minimized && s.waitForPort);
  ASSERT_EQ(s.switches.size(), 2u);
  EXPECT_EQ(s.switches[0].key.last()->vk, 0x11);
  EXPECT_TRUE(s.switches[0].toggle);
  EXPECT_EQ(s.switches[1].line, DSR);
  EXPECT_EQ(s.switches[1].key.last()->vk, 0x87);
  EXPECT_TRUE(s.switches[1].invert);
  EXPECT_EQ(s.switches[1].debounceMs, 25);

  const auto cl = app::parseCommandLine({"--port=COM9", "--key", "Alt", "--mode", "hold", "--debounce", "0",
                                         "--invert", "--minimized", "--wait-for-port", "--line", "DCD"});
  ASSERT_EQ(cl.action, app::CommandLine::Action::Run);
  for (const auto& o : cl.settings) app::applyOption(s, o.option, o.name, o.value);
  EXPECT_EQ(s.port, "COM9");
  EXPECT_EQ(s.switches[0].key.last()->vk, 0x12);
  EXPECT_EQ(s.switches[0].line, DCD);
  EXPECT_FALSE(s.switches[0].toggle);
  EXPECT_TRUE(s.switches[0].invert);
  for (const auto& o : app::parseCommandLine({"--no-invert", "--no-minimized", "--no-wait-for-port"}).settings)
    app::applyOption(s, o.option, o.name, o.value);
  EXPECT_FALSE(s.switches[0].invert || s.minimized || s.waitForPort) << "the --no- forms switch off";

  EXPECT_EQ(app::settingsFromFile(app::parseIni("", "x")).switches.front().key.last()->vk, kVkShift) << "no file: Shift";
  EXPECT_EQ(app::parseCommandLine({"--autostart", "off"}).autostart, false);
}

TEST(Settings, EachMistakeIsToldInGermanWithWhereAndWhatIsAllowed) {
  const std::pair<std::string, std::string> file[] = {
      {"[switch1]\nkey=Hyper\n", "Zeile 2 ([switch1] key=Hyper): unbekannte Taste „Hyper“. Erlaubt sind Shift, Ctrl"},
      {"[switch1]\nline=RTS\n", "([switch1] line=RTS): unbekannte Leitung „RTS“. Erlaubt sind CTS, DSR, DCD und RI."},
      {"[switch1]\ndebounce=-5\n", "keine Entprellzeit. Erlaubt sind ganze Millisekunden von 0 bis 1000."},
      {"[switch1]\ndebounce=1001\n", "„1001“ ist keine Entprellzeit"},
      {"[switch1]\nmode=latch\n", "unbekannte Betriebsart „latch“. Erlaubt sind hold und toggle."},
      {"[switch1]\ninvert=maybe\n", "„maybe“ ist kein Wahrheitswert"},
      {"[switch1]\ncolour=red\n", "unbekannter Eintrag „colour“. Erlaubt sind line, key, invert, mode und debounce."},
      {"[switch9]\nkey=A\n", "unbekannter Abschnitt [switch9]"},
      {"port=LPT1\n", "Zeile 1 ([General] port=LPT1): „LPT1“ ist kein Anschluss."},
      {"port=COM17\n", "„COM17“ ist kein Anschluss. Erlaubt sind COM1 bis COM16"},
      {"garbage\n", "Zeile 1: „garbage“ ist weder [Abschnitt] noch Eintrag=Wert."},
      {"[switch1]\nkey=A\n[switch2]\nkey=B\n", "die Leitung CTS ist zwei Schaltern zugeordnet"},
      {"[switch1]\nkey=A\n[switch2]\nline=RI\nkey=a\n", "die Taste A ist zwei Schaltern zugeordnet"},
      {std::string("\0\0\0\0", 4), "Zeile 1: enthält das Steuerzeichen 0x00."},
      {"[switch1]\nkey=\x11\n", "Zeile 2: enthält das Steuerzeichen 0x11."},
      {"[switch1]\r\rkey=Hyper\r", "Zeile 3 ([switch1] key=Hyper)"},
      {"[switch1]\r\nkey=" + std::string(5000, 'x'), "unbekannte Taste „" + std::string(60, 'x') + "…“. Erlaubt"},
      {"[switch1]\nkey=ctrl+c\n[switch2]\nline=RI\nkey=Strg + C\n", "die Taste Ctrl+C ist zwei Schaltern zugeordnet"},
  };
  for (const auto& [text, expected] : file) {
    const std::string got = settingsError(text);
    EXPECT_EQ(got.rfind("Fehler in der Einstellungsdatei /h/tastlink.conf", 0), 0u) << got;
    EXPECT_NE(got.find(expected), std::string::npos) << got;
  }
  const std::pair<std::vector<std::string>, std::string> options[] = {
      {{"--key", "Hyper"}, "Option --key: unbekannte Taste „Hyper“"},
      {{"--debounce=x"}, "Option --debounce: „x“ ist keine Entprellzeit"},
      {{"--line", "DSR"}, ""},  // the default CTS switch moves to DSR
      {{"--port", "COM0"}, "Option --port: „COM0“ ist kein Anschluss."},
  };
  for (const auto& [args, expected] : options) {
    const std::string got = settingsError("", args);
    EXPECT_EQ(got.rfind(expected, 0), 0u) << got;
  }
  // The file names a DSR switch; the option moves the first one there too.
  EXPECT_NE(settingsError("[switch1]\nkey=Shift\n[switch2]\nline=DSR\nkey=Ctrl\n", {"--line", "DSR"}).find("Leitung DSR"),
            std::string::npos);
}

// Names in both languages and any case, and what a combination may not be.
TEST(KeyNames, CombinationsButtonsAndMediaKeysReadOrSayWhatIsAllowed) {
  const std::pair<const char*, const char*> rows[] = {
      {"shift", "Shift"},
      {"Umschalt", "Shift"},
      {"STRG+umschalt+f5", "Ctrl+Shift+F5"},
      {"Shift+Ctrl+F5", "Shift+Ctrl+F5"},
      {" Alt + Tab ", "Alt+Tab"},
      {"Win+AltGr", "Super+AltGr"},
      {"mauszurÜck", "MouseBack"},
      {"Wiedergabe", "PlayPause"},
      {"LAUTER", "VolumeUp"},
      {"Ctrl+Alt+Shift+Leertaste", "Ctrl+Alt+Shift+Space"},
      {"Hyper", "unbekannte Taste „Hyper“. Erlaubt sind Shift, Ctrl"},
      {"Ctrl+", "unbekannte Taste „“ in „Ctrl+“"},
      {"Ctrl+Ctrl", "die Taste Ctrl steht zweimal in „Ctrl+Ctrl“; jede Taste steht höchstens einmal"},
      {"Ctrl+Alt+Shift+Super+A", "„Ctrl+Alt+Shift+Super+A“ hat mehr als vier Tasten"},
      {"Ctrl+MouseLeft", "eine Maustaste (MouseLeft) steht allein"},
      {"Mute+Shift", "eine Medientaste (Mute) steht allein"},
      {"C+Ctrl", "in einer Kombination stehen die Umschalttasten (Shift, Ctrl, Alt, AltGr, Super) vorn"},
  };
  for (const auto& [text, expected] : rows) {
    KeyChord chord;
    const std::string mistake = KeyChord::parse(text, chord);
    EXPECT_EQ(mistake.empty() ? chord.name() : mistake.substr(0, std::string(expected).size()), expected) << text;
  }
  // Every name the table offers reads back as itself, in either language.
  for (const KeyInfo& k : keyTable())
    for (const char* name : {k.name, k.german}) {
      if (name) {
        EXPECT_EQ(keyByName(name), &k) << name;
      }
    }
}

TEST(CommandLine, ValuesAndTheirMistakes) {
  const std::pair<std::vector<std::string>, std::string> rows[] = {
      {{"--port"}, "die Option --port braucht einen Wert (ANSCHLUSS)"},
      {{"--key="}, "die Option --key braucht einen Wert (TASTE)"},
      {{"--minimized=yes"}, "die Option --minimized nimmt keinen Wert"},
      {{"--autostart", "maybe"}, "--autostart nimmt on oder off, nicht „maybe“"},
      {{"--bogus"}, "unbekannte Option „--bogus“"},
  };
  for (const auto& [args, expected] : rows) {
    const auto cl = app::parseCommandLine(args);
    EXPECT_EQ(cl.action, app::CommandLine::Action::Mistake);
    EXPECT_EQ(cl.mistake, expected);
  }
  const std::string usage = app::usageText();
  for (const char* o : {"--port", "--key", "--line", "--invert", "--mode", "--debounce", "--minimized",
                        "--wait-for-port", "--autostart"})
    EXPECT_NE(usage.find(o), std::string::npos) << o;
  for (size_t at = 0, end; at < usage.size(); at = end + 1) {
    end = usage.find('\n', at);
    const std::string line = usage.substr(at, end - at);
    const auto chars = std::count_if(line.begin(), line.end(), [](char c) { return (c & 0xC0) != 0x80; });
    EXPECT_LE(chars, 80) << line;
  }
}

namespace {

// The one default switch loaded and held down; the log's mark after it.
size_t shiftHeld(fake::World& w) {
  w.files.openable = {3};
  w.form1.Form_Load();
  w.set(CTS, true);
  w.queue.pump();
  return w.log.size();
}

}  // namespace

TEST(Switches, ChangedWhileRunningOldKeysGoUpFirstThenTheNewLineCounts) {
  fake::World w;
  const size_t mark = shiftHeld(w);
  w.form1.ChangeSwitches({sw(DSR, "Ctrl")});
  EXPECT_EQ(w.driver.watched, DSR);  // opened again for the new line
  w.set(CTS, false);
  w.set(DSR, true);
  w.queue.pump();
  EXPECT_EQ(keysAndLabels(w, mark),
            (Strings{"key:16,1,2,0", "label:SHIFT losgelassen", "key:17,0,0,0", "label:STRG gedrückt"}));
}

TEST(Switches, PausedTheyLetGoAndSendNothingUntilGoingOn) {
  fake::World w;
  const size_t mark = shiftHeld(w);
  w.form1.Pause(true);
  w.set(CTS, false);
  w.set(CTS, true);
  w.queue.pump();
  w.form1.Resync();
  w.form1.Pause(false);  // still held: counts from its next change
  w.set(CTS, false);
  w.queue.pump();
  EXPECT_EQ(keysAndLabels(w, mark), (Strings{"key:16,1,2,0", "label:SHIFT losgelassen", "label:Pausiert",
                                             "label:Fortgesetzt", "key:16,1,2,0", "label:SHIFT losgelassen"}));
}

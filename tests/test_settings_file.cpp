// Writing the settings back: the user's file keeps what they wrote, and a
// write either happens whole or not at all.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "app/settings_file.h"

using namespace tl;
using namespace tl::app;

namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

}  // namespace

TEST(SettingsFile, OnlyWhatChangedIsWrittenWhereItStands) {
  struct Row {
    const char* what;
    const char* before;
    std::function<void(Settings&)> change;
    const char* after;
  };
  const Row rows[] = {
      {"nothing changed: not a byte", "; mine\n[General]\nport = COM3 ; desk\n\n[switch1]\nkey=shift\n",
       [](Settings&) {}, "; mine\n[General]\nport = COM3 ; desk\n\n[switch1]\nkey=shift\n"},
      {"a value in place, its comment kept", "; mine\n[General]\nport = COM3 ; desk\nminimized=yes\n",
       [](Settings& s) { s.port = "COM4"; }, "; mine\n[General]\nport = COM4 ; desk\nminimized=yes\n"},
      {"a new entry at its section's end, CRLF kept", "[General]\r\nport=COM3\r\n\r\n[switch1]\r\nkey=Ctrl\r\n",
       [](Settings& s) { s.minimized = true; },
       "[General]\r\nport=COM3\r\nminimized=true\r\n\r\n[switch1]\r\nkey=Ctrl\r\n"},
      {"an empty file: the default switch changed", "",
       [](Settings& s) { s.switches[0].key = KeyChord(keyByName("Ctrl")); }, "[switch1]\nline=CTS\nkey=Ctrl\n"},
      {"a second switch: a section appended", "# foot\n[switch1]\nkey=Shift\n",
       [](Settings& s) { s.switches.push_back({lines::DSR, KeyChord(keyByName("Alt")), true, true, 20}); },
       "# foot\n[switch1]\nkey=Shift\n\n[switch2]\nline=DSR\nkey=Alt\ninvert=true\nmode=toggle\ndebounce=20\n"},
      {"a switch gone: its entries go, the rest stays", "[switch1]\nkey=Shift\n[switch2]\nline=DSR\nkey=Alt\n",
       [](Settings& s) { s.switches.resize(1); }, "[switch1]\nkey=Shift\n[switch2]\n"},
      {"values the reader would cut are quoted", "[General]\nminimized=false",
       [](Settings& s) { s.port = "/dev/serial/by-id/a,b"; },
       "[General]\nminimized=false\nport=\"/dev/serial/by-id/a,b\"\n"},
  };
  for (const Row& r : rows) {
    Settings want = settingsFromFile(parseIni(r.before, "t"));
    r.change(want);
    const std::string out = updateSettingsText(r.before, want, "t");
    EXPECT_EQ(out, r.after) << r.what;
    EXPECT_EQ(settingsFromFile(parseIni(out, "t")).switches.size(), want.switches.size()) << r.what;
  }
  EXPECT_THROW(updateSettingsText("kaputt\n", Settings(), "t"), SettingsError);
}

TEST(SettingsFile, WrittenWholeThroughALinkOrNotAtAll) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("tastlink-write-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir / "dotfiles");
  {
    std::ofstream(dir / "dotfiles" / "real.conf") << "; kept\n[General]\nport=COM3\n";
  }
  fs::create_symlink(dir / "dotfiles" / "real.conf", dir / "tastlink.conf");
  Settings want;
  want.port = "COM5";
  EXPECT_EQ(saveSettings((dir / "tastlink.conf").string(), want), "");
  EXPECT_TRUE(fs::is_symlink(dir / "tastlink.conf"));
  EXPECT_EQ(slurp((dir / "dotfiles" / "real.conf").string()), "; kept\n[General]\nport=COM5\n");
  // A folder where the file should be: nothing to rename over, and no
  // stray temporary file left beside it.
  fs::create_directories(dir / "blocked.conf");
  const std::string why = writeWhole((dir / "blocked.conf").string(), "x");
  EXPECT_NE(why.find("lässt sich nicht schreiben"), std::string::npos) << why;
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), 3);
  fs::remove_all(dir);
}

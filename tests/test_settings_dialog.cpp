// The settings window's logic against a fake of its controls: what it
// shows, what it takes back, and what it refuses.
#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "app/settings_dialog.h"

using namespace tl;
using namespace tl::app;

namespace {

struct FakeControls : SettingsControls {
  SwitchRow rows[kRows];
  std::string portText, note, error;
  std::map<Check, bool> checks;
  std::map<uint8_t, bool> lamps;
  std::map<int, std::string> hints;
  bool closed = false;
  void setKeyChoices(const std::vector<std::string>&) override {}
  void setRow(int r, const SwitchRow& v) override { rows[r] = v; }
  SwitchRow row(int r) const override { return rows[r]; }
  void setPortChoices(const std::vector<std::string>&) override {}
  void setPort(const std::string& t) override { portText = t; }
  std::string port() const override { return portText; }
  void setCheck(Check c, bool on) override { checks[c] = on; }
  bool check(Check c) const override { return checks.at(c); }
  void setLamp(uint8_t line, bool on) override { lamps[line] = on; }
  void setDetectHint(int r, const std::string& t) override { hints[r] = t; }
  void setOverrideNote(const std::string& t) override { note = t; }
  void setTrayHint(const std::string&) override {}
  void showError(const std::string& t) override { error = t; }
  void closeWindow() override { closed = true; }
};

}  // namespace

TEST(SettingsDialog, WhatTheControlsSayIsCheckedAsTheFileIs) {
  struct Row {
    const char* what;
    std::function<void(FakeControls&)> edit;
    const char* error;  // "" when taken
  };
  const Row rows[] = {
      {"as loaded", [](FakeControls&) {}, ""},
      {"a typed key in any case", [](FakeControls& c) { c.rows[0].key = " ctrl "; }, ""},
      {"an unknown key", [](FakeControls& c) { c.rows[0].key = "Strg+Hyper"; }, "Schalter 1: unbekannte Taste „Hyper“ in"},
      {"a mouse button in a combination", [](FakeControls& c) { c.rows[0].key = "Strg+MausLinks"; },
       "Schalter 1: eine Maustaste (MouseLeft) steht allein"},
      {"two rows on one line", [](FakeControls& c) { c.rows[1] = {lines::CTS, "Alt"}; }, "die Leitung CTS"},
      {"no switch at all", [](FakeControls& c) { c.rows[0].line = 0; }, "Mindestens ein Schalter"},
      {"a port that is none", [](FakeControls& c) { c.portText = "COM99"; }, "Start-Anschluss: \u201ECOM99\u201C"},
  };
  for (const Row& r : rows) {
    FakeControls c;
    SettingsDialog d(c);
    Settings saved;
    d.Save = [&](const Settings& s, bool) {
      saved = s;
      return std::string();
    };
    d.Load(Settings(), false, {});
    r.edit(c);
    d.Ok();
    EXPECT_EQ(c.closed, !*r.error) << r.what;
    if (*r.error) EXPECT_NE(c.error.find(r.error), std::string::npos) << r.what << ": " << c.error;
    else EXPECT_EQ(c.error, "") << r.what;
  }
}

TEST(SettingsDialog, LoadsTheFileNamesOverridesAndDetectsTheFirstLineToChange) {
  FakeControls c;
  SettingsDialog d(c);
  Settings file;
  file.remember = true;
  d.Load(file, true, {{"--key", "key", "Ctrl"}});
  EXPECT_EQ(c.portText, kRememberPort);
  EXPECT_TRUE(c.checks[Check::Autostart]);
  EXPECT_NE(c.note.find("Taste von Schalter 1: --key Ctrl"), std::string::npos) << c.note;

  d.LinesNow(lines::CTS);
  EXPECT_TRUE(c.lamps[lines::CTS]);
  EXPECT_FALSE(c.lamps[lines::DSR]);
  d.Detect(0);
  d.LinesNow(lines::CTS);  // nothing moved yet
  EXPECT_EQ(c.rows[0].line, lines::CTS);
  d.LinesNow(lines::CTS | lines::DSR);
  EXPECT_EQ(c.rows[0].line, lines::DSR);
  EXPECT_EQ(c.hints[0], "DSR erkannt.");
  d.LinesNow(std::nullopt);  // the port closed: lamps out
  EXPECT_FALSE(c.lamps[lines::CTS]);
}

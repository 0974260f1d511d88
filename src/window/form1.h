// src/window is the main window: its handlers (here), the controls' seam,
// the layout table both toolkits place their controls by (layout.h), and
// one toolkit per subfolder: qt/ on Linux, win32/ on Windows.
//
// The main window's logic: start-up, the port list's click and the line's
// notification. Written once against small seams; each platform supplies
// the controls (FormControls), the line (serial/mscomm.h), the file layer
// (serial/comport.h) and key injection (keys/keyboard.h).
#pragma once

#include <functional>
#include <string>

#include "keys/keyboard.h"
#include "serial/comport.h"
#include "serial/mscomm.h"
#include "window/switches.h"

namespace tl {

// What the window toolkit must offer. Texts are UTF-8.
class FormControls {
 public:
  virtual ~FormControls() = default;
  virtual void setLabel1Caption(const std::string& text) = 0;
  // The status text shortened to fit the line, and the whole of it for
  // those who hear the window rather than see it.
  virtual void setLabel1Shortened(const std::string& shown, const std::string& whole) {
    (void)whole;
    setLabel1Caption(shown);
  }
  // Whether `text` fits the status line whole, in the window's font.
  virtual bool label1Fits(const std::string& text) const = 0;
  virtual void comboAddItem(const std::string& text) = 0;
  virtual int comboListCount() const = 0;
  virtual std::string comboItem(int index) const = 0;
  // Shows entry `index` as the selection without raising any notification.
  virtual void comboShowSelection(int index) = 0;
  virtual std::string comboText() const = 0;
  virtual void text1SetFocus() = 0;
  virtual void comboInsertItem(int index, const std::string& text) = 0;
  virtual void comboRemoveItem(int index) = 0;
  // Tells the user something without stopping them (a port that would not
  // open); returns at once.
  virtual void showNote(const std::string& text) = 0;
  // Runs `task` on the window's thread after `ms` milliseconds, as a line's
  // notification runs (an error leaving it ends the program).
  virtual void after(int ms, std::function<void()> task) = 0;
};

// The port list with the runtime's semantics: setting ListIndex to an entry
// that does not exist is an invalid property value, and a selection made by
// the program is reported as a click, like one made by the user.
class ComboBox : public comport::PortList {
 public:
  explicit ComboBox(FormControls& view) : view_(view) {}
  void AddItem(const std::string& text) override { view_.comboAddItem(text); }
  void AddItem(const std::string& text, int index) { view_.comboInsertItem(index, text); }
  void RemoveItem(int index) { view_.comboRemoveItem(index); }
  std::string List(int index) const { return view_.comboItem(index); }
  int ListCount() const { return view_.comboListCount(); }
  void setListIndex(int index);
  std::string Text() const { return view_.comboText(); }
  std::function<void()> Click;

 private:
  FormControls& view_;
};

class Form1 {
 public:
  Form1(FormControls& view, MSComm& line, comport::FileLayer& files, Keyboard& keys);

  void Form_Load();
  void Combo1_Click();
  void MSComm1_OnComm();
  // The line's adapter was pulled out: keys up, and wait for it.
  void MSComm1_OnUnplug();
  // Serial devices came or went: the list follows, and the line comes back
  // when the device it waits for does.
  void PortsChanged(const comport::PortChanges& changes);

  // Started with no port there: wait for one instead of the report.
  bool WaitForPort = false;
  // The port to open at start where it is there (0: the first listed).
  int16_t StartPort = 0;
  // A start port named by a device path (Linux): its number now, 0 while
  // it is not there. Looked up at start and, while waiting, as devices come.
  std::function<int16_t()> StartPortOf;
  // The switches the line's changes are read for; set before Form_Load.
  std::vector<SwitchSetting> Switches = defaultSwitches();
  // The user chose a port and it opened (for remembering it).
  std::function<void(int16_t port)> PortChosen;
  // Where the front end keeps a record of what happened to the line (a
  // journal, stderr): unplugs, returns, choices that did not work out.
  std::function<void(const std::string&)> Log;
  // The user must act (ports there but refused while waiting): the window
  // must not stay out of sight, minimized.
  std::function<void()> NeedsUser;

  // Lets every key the switches hold up (a toggled one too), and says so in
  // the status text: the text always names the keys as the desktop sees
  // them. For a session that may be ending (its state being saved) and for
  // the ways out below.
  void LetKeysUp() noexcept;
  // After LetKeysUp() for a session that went on: held switches' keys go
  // down again where the line still holds them.
  void Resync();

  // New switches while the program runs: the keys the old ones hold go up
  // first, then the new ones follow the line from its next change.
  void ChangeSwitches(std::vector<SwitchSetting> switches);

  // Paused, the switches send nothing: their keys go up and stay up until
  // the program goes on, and the status text says so.
  void Pause(bool on);
  bool Paused() const { return paused_; }

  // Runs on every way out (window closed, error report, signal, session
  // end): every key left down is let up before the line closes. Safe to
  // call more than once.
  void Shutdown() noexcept;

  ComboBox Combo1;
  MSComm& MSComm1;

 private:
  enum class Waiting { No, ForPortInUse, ForAnyPort };
  int indexOf(int16_t port) const;
  void insertSorted(int16_t port);
  bool reopen(int16_t port, std::string* why = nullptr);
  void notOpenYet(int16_t port, const std::string& why);
  void showPortInUse();
  void backAgain();
  void waitForAdapter(Waiting what, const std::vector<comport::ProbeFailure>& refused);
  void tell(const std::string& text);
  void retryRefused();
  void lineOpened();
  uint8_t watchedLines() const;
  void lineChanged(size_t i, bool level);
  void apply(size_t i, bool level);
  void releaseInactive();
  bool holds(size_t i) const;
  bool heldByOther(size_t i, const KeyInfo* key) const;
  void press(size_t i, bool down);
  // Whether Windows took it (it refuses input to elevated windows).
  bool send(const KeyInfo* key, bool down);
  // The keys and `full` after them, shortened with `brief` to fit.
  void showKeys(const KeyChord& chord, const std::string& full, const std::string& brief);

  FormControls& view_;
  comport::FileLayer& files_;
  Keyboard& keys_;
  Waiting waiting_ = Waiting::No;
  bool paused_ = false;
  bool triedSinceReturn_ = false;
  // Entries kept though their device left: the port in use, while the
  // program holds it or waits for it.
  std::vector<int16_t> gone_;
  // Ports that exist but would not open while the program waits.
  std::vector<int16_t> refused_;
  bool retryPending_ = false;
  // Tries since the port in use came back and would not open.
  int reopenTries_ = 0;
  // Per switch: its line's last level, the level that last counted, a
  // count that makes a debounce timer stale when the line moves again, and
  // whether it holds its keys down.
  struct SwitchState {
    bool level = false;
    bool settled = false;
    uint64_t generation = 0;
    bool held = false;  // its keys went down for it and are not up yet
  };
  std::vector<SwitchState> states_;
};

// The report shown when not one of the ports could be opened: plain German,
// with every device that exists but refused and why.
std::string noPortReport(const std::vector<comport::ProbeFailure>& failures);

}  // namespace tl

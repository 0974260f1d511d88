#include "window/form1.h"

#include <algorithm>

#include "core/runtime.h"

namespace tl {

namespace {
// How often ports that would not open are tried again while waiting.
constexpr int kRetryRefusedMs = 2000;
std::string refusedPorts(const std::vector<comport::ProbeFailure>& failures);
}  // namespace

void ComboBox::setListIndex(int index) {
  if (index < -1 || index >= view_.comboListCount())
    throw Error(err::kInvalidPropertyValue, "Ungültiger Eigenschaftswert");
  view_.comboShowSelection(index);
  if (Click) Click();
}

Form1::Form1(FormControls& view, MSComm& line, comport::FileLayer& files, Keyboard& keys)
    : Combo1(view), MSComm1(line), view_(view), files_(files), keys_(keys) {
  Combo1.Click = [this] { Combo1_Click(); };
  MSComm1.OnComm = [this] { MSComm1_OnComm(); };
  MSComm1.OnUnplug = [this] { MSComm1_OnUnplug(); };
}

void Form1::Form_Load() {
  view_.setLabel1Caption("Kein Kabel gefunden");
  MSComm1.setWatch(watchedLines());
  auto probe = comport::FindPorts(files_, Combo1);
  if (!StartPort && StartPortOf) StartPort = StartPortOf();
  const int listed = StartPort ? indexOf(StartPort) : -1;
  if ((StartPort || StartPortOf) && listed < 0) {
    // Asked for by name: another port that happens to be there is not it.
    if (WaitForPort)
      return waitForAdapter(StartPort ? Waiting::ForPortInUse : Waiting::ForAnyPort, probe.failures);
    if (Combo1.ListCount() > 0)
      tell((StartPort ? "COM" + std::to_string(StartPort) : std::string("Der angegebene Anschluss")) +
           " ist nicht da; Tastlink öffnet COM" + Combo1.List(0) + ".");
  }
  if (Combo1.ListCount() == 0 && WaitForPort) return waitForAdapter(Waiting::ForAnyPort, probe.failures);
  try {
    Combo1.setListIndex(std::max(listed, 0));
  } catch (const Error& e) {
    // An empty list refuses the selection; "invalid property value" alone
    // would leave the user guessing, so say what really went wrong.
    if (Combo1.ListCount() == 0) throw Error(e.number(), noPortReport(probe.failures));
    throw;
  }
  for (;;) {
    MSComm1.setCommPort(CInt(Combo1.Text()));
    MSComm1.setDTREnable(true);
    MSComm1.setRTSEnable(true);
    try {
      MSComm1.setPortOpen(true);
      lineOpened();
      return;
    } catch (const Error& e) {
      // The port vanished or was taken since the probe: it is not one to
      // offer, and the next one may do.
      if (Combo1.ListCount() <= 1 && WaitForPort) {
        Combo1.RemoveItem(0);
        return waitForAdapter(Waiting::ForAnyPort, {{MSComm1.CommPort(), e.description()}});
      }
      if (Combo1.ListCount() <= 1) throw;
      Combo1.RemoveItem(std::max(indexOf(MSComm1.CommPort()), 0));
      Combo1.setListIndex(0);
    }
  }
}

// Start-up with nothing to open yet: the port named (its number set as the
// line's), or whichever comes first. Ports there but refused are the
// user's to mend (a group, another program): waiting for an adapter would
// only hide them.
void Form1::waitForAdapter(Waiting what, const std::vector<comport::ProbeFailure>& refused) {
  if (what == Waiting::ForPortInUse) MSComm1.setCommPort(StartPort);
  waiting_ = what;
  std::vector<comport::ProbeFailure> mine;
  bool fresh = false;
  for (const auto& f : refused)
    if (what == Waiting::ForAnyPort || f.port == StartPort) {
      mine.push_back(f);
      fresh |= std::find(refused_.begin(), refused_.end(), f.port) == refused_.end();
    }
  view_.setLabel1Caption(mine.empty() ? "Warte auf Adapter" : "Anschluss verweigert");
  // A retry that finds the same ports still refused has nothing new to
  // say, and must not pull the window up again every time.
  if (!fresh) {
    if (!mine.empty()) retryRefused();
    return;
  }
  tell("Tastlink wartet auf einen Adapter." + refusedPorts(mine));
  if (NeedsUser) NeedsUser();
  for (const auto& f : mine)
    if (std::find(refused_.begin(), refused_.end(), f.port) == refused_.end())
      refused_.push_back(static_cast<int16_t>(f.port));
  retryRefused();
}

// Where the user looks, and in the record.
void Form1::tell(const std::string& text) {
  view_.showNote(text);
  if (Log) Log(text);
}

// No device message comes when another program lets go of a port: refused
// ports are looked at again now and then, and only while waiting with
// some, so that idle costs nothing.
void Form1::retryRefused() {
  if (retryPending_) return;
  retryPending_ = true;
  view_.after(kRetryRefusedMs, [this] {
    retryPending_ = false;
    if (waiting_ == Waiting::No || refused_.empty()) return refused_.clear();
    comport::PortChanges again;
    again.arrived = refused_;
    PortsChanged(again);
    if (waiting_ == Waiting::No) return refused_.clear();
    retryRefused();
  });
}

void Form1::Combo1_Click() {
  if (MSComm1.PortOpen() != true && waiting_ == Waiting::No) return;
  const int16_t port = CInt(Combo1.Text());
  const int16_t previous = MSComm1.CommPort();
  const bool wasOpen = MSComm1.PortOpen();
  // Another port has another button: a Shift held by this one must not
  // stay down. The port in use keeps its button, and so its key.
  const bool samePort = wasOpen && port == previous;
  if (!samePort) LetKeysUp();
  if (wasOpen) MSComm1.setPortOpen(false);
  MSComm1.setCommPort(port);
  try {
    MSComm1.setPortOpen(true);
    lineOpened();
  } catch (const Error& e) {
    // The choice did not work out: say why, and go back to where it was.
    view_.showNote(e.description());
    if (Log) Log(e.description());
    MSComm1.setCommPort(previous);
    const bool back = wasOpen && reopen(previous);
    // No line, no release to come: the keys go up now. A line back on
    // its port may have missed a release while it was closed.
    if (!back) LetKeysUp();
    releaseInactive();
    if (wasOpen && !back) {
      waiting_ = Waiting::ForPortInUse;
      view_.setLabel1Caption("Adapter getrennt");
    }
    showPortInUse();
    view_.text1SetFocus();
    return;
  }
  if (waiting_ != Waiting::No) view_.setLabel1Caption("Kein Kabel gefunden");
  waiting_ = Waiting::No;
  // Entries kept for a device that left go with the choice of another.
  const bool dropped = std::erase_if(gone_, [&](int16_t g) {
    if (g == port) return false;
    if (const int i = indexOf(g); i >= 0) Combo1.RemoveItem(i);
    return true;
  });
  if (dropped) showPortInUse();
  // A release while the line was closed made no notification.
  if (samePort) releaseInactive();
  if (PortChosen) PortChosen(port);
  view_.text1SetFocus();
}

void Form1::MSComm1_OnUnplug() {
  LetKeysUp();
  // The device may be back already (replugged at once, its return heard
  // before the old line's end): one try now, then wait for the next return.
  if (!triedSinceReturn_) {
    triedSinceReturn_ = true;
    if (reopen(MSComm1.CommPort())) return backAgain();
  }
  waiting_ = Waiting::ForPortInUse;
  view_.setLabel1Caption("Adapter getrennt");
  if (Log) Log("COM" + std::to_string(MSComm1.CommPort()) + ": Adapter getrennt; Tastlink wartet, bis er wieder da ist.");
}

void Form1::PortsChanged(const comport::PortChanges& changes) {
  if (changes.empty()) return;
  for (const std::string& note : changes.notes) tell(note);
  const int16_t inUse = MSComm1.CommPort();
  const bool holding = MSComm1.PortOpen() || waiting_ == Waiting::ForPortInUse;
  for (int16_t p : changes.left) {
    const int i = indexOf(p);
    if (i < 0) continue;
    // The port in use stays listed, so that the list shows what the
    // program holds on to while it waits.
    if (holding && p == inUse) {
      if (std::find(gone_.begin(), gone_.end(), p) == gone_.end()) gone_.push_back(p);
      // Gone again: nothing to try until it is back.
      std::erase(refused_, p);
      reopenTries_ = 0;
      // Some drivers never end the line's wait when their device goes: its
      // leaving is the line's end too.
      if (MSComm1.PortOpen()) {
        MSComm1.closeQuietly();
        triedSinceReturn_ = true;  // it has left: no use trying it at once
        MSComm1_OnUnplug();
      }
      continue;
    }
    Combo1.RemoveItem(i);
  }
  std::vector<comport::ProbeFailure> refused;
  for (int16_t p : changes.arrived) {
    gone_.erase(std::remove(gone_.begin(), gone_.end(), p), gone_.end());
    std::string why;
    if (indexOf(p) < 0 && comport::ProbePort(files_, p, &why)) insertSorted(p);
    if (!why.empty()) refused.push_back({p, why});
  }
  const bool back = std::find(changes.arrived.begin(), changes.arrived.end(), inUse) != changes.arrived.end();
  if (back) triedSinceReturn_ = false;
  bool opened = false;
  if (waiting_ == Waiting::ForPortInUse && back) {
    std::string why;
    opened = reopen(inUse, &why);
    if (!opened) notOpenYet(inUse, why);
  } else if (waiting_ == Waiting::ForAnyPort && StartPortOf) {
    if (const int16_t p = StartPortOf(); p && indexOf(p) >= 0) opened = reopen(p);
  } else if (waiting_ == Waiting::ForAnyPort) {
    for (int i = 0; i < Combo1.ListCount() && !opened; ++i) opened = reopen(CInt(Combo1.List(i)));
  }
  if (opened) backAgain();
  else if (waiting_ != Waiting::No && !refused.empty()) waitForAdapter(waiting_, refused);
  showPortInUse();
}

void Form1::backAgain() {
  refused_.clear();
  view_.setLabel1Caption("Kein Kabel gefunden");
  if (Log) Log("COM" + std::to_string(MSComm1.CommPort()) + ": Adapter wieder da, Leitung geöffnet.");
}

// Back, but it will not open yet: the line just closed may still hold the
// port while its driver lets go (slow under load, or a wait that ends
// late), or another program took it first. No device message will come for
// either, so it is tried again now and then; told once a few tries have
// failed (a slow driver lets go within them).
void Form1::notOpenYet(int16_t port, const std::string& why) {
  if (std::find(refused_.begin(), refused_.end(), port) == refused_.end()) refused_.push_back(port);
  if (++reopenTries_ == 3) {
    view_.setLabel1Caption("Anschluss verweigert");
    tell(why + "\n\nTastlink versucht es weiter, bis der Anschluss frei ist.");
    if (NeedsUser) NeedsUser();
  }
  retryRefused();
}

// Opens the line on `port` again, with DTR and RTS as they were set; false
// (and the line still closed, `why` saying why) when the port will not open.
bool Form1::reopen(int16_t port, std::string* why) {
  try {
    MSComm1.setCommPort(port);
    MSComm1.setDTREnable(true);
    MSComm1.setRTSEnable(true);
    MSComm1.setPortOpen(true);
    lineOpened();
    waiting_ = Waiting::No;
    return true;
  } catch (const Error& e) {
    if (why) *why = e.description();
    return false;
  }
}

int Form1::indexOf(int16_t port) const {
  const std::string text = std::to_string(port);
  for (int i = 0; i < Combo1.ListCount(); ++i)
    if (Combo1.List(i) == text) return i;
  return -1;
}

// Entries stay in ascending order, as the probe listed them.
void Form1::insertSorted(int16_t port) {
  int i = 0;
  while (i < Combo1.ListCount() && CInt(Combo1.List(i)) < port) ++i;
  Combo1.AddItem(std::to_string(port), i);
}

// The selection stays on the port the line is on (or waits for).
void Form1::showPortInUse() {
  if (MSComm1.PortOpen() || waiting_ == Waiting::ForPortInUse) view_.comboShowSelection(indexOf(MSComm1.CommPort()));
}

// Each opening starts the switches afresh from the levels the line has now:
// no key goes down for a switch already held, and timers of the line before
// are stale.
void Form1::lineOpened() {
  reopenTries_ = 0;
  states_.resize(Switches.size());
  for (size_t i = 0; i < Switches.size(); ++i) {
    SwitchState& st = states_[i];
    st.level = st.settled = MSComm1.Holding(Switches[i].line);
    ++st.generation;
  }
}

void Form1::MSComm1_OnComm() {
  const int16_t event = MSComm1.CommEvent();
  static constexpr std::pair<uint8_t, int16_t> kEvents[] = {
      {lines::CTS, comEvCTS}, {lines::DSR, comEvDSR}, {lines::DCD, comEvCD}, {lines::RI, comEvRing}};
  for (size_t i = 0; i < Switches.size() && i < states_.size(); ++i)
    for (auto [line, ev] : kEvents)
      if (Switches[i].line == line && ev == event) lineChanged(i, MSComm1.Holding(line));
}

void Form1::lineChanged(size_t i, bool level) {
  SwitchState& st = states_[i];
  st.level = level;
  const int wait = Switches[i].debounceMs;
  if (wait <= 0) return apply(i, level);
  // Only a level that outlasts the wait counts; a timer runs only after a
  // change, so an idle line wakes nothing.
  const uint64_t generation = ++st.generation;
  view_.after(wait, [this, i, generation] {
    if (!MSComm1.PortOpen() || i >= states_.size() || states_[i].generation != generation) return;
    SwitchState& s = states_[i];
    if (s.level == s.settled) return;  // bounced back: nothing happened
    s.settled = s.level;
    apply(i, s.level);
  });
}

void Form1::apply(size_t i, bool level) {
  if (paused_) return;
  const SwitchSetting& s = Switches[i];
  const bool active = level != s.invert;
  if (!s.toggle) return press(i, active);
  if (active) press(i, !holds(i));
}

bool Form1::holds(size_t i) const {
  if (i >= states_.size() || !states_[i].held) return false;
  // A way out may have let the keys up behind the switch's back.
  return std::all_of(Switches[i].key.begin(), Switches[i].key.end(), [&](const KeyInfo* k) { return keys_.isDown(k); });
}

bool Form1::heldByOther(size_t i, const KeyInfo* key) const {
  for (size_t j = 0; j < Switches.size(); ++j)
    if (j != i && Switches[j].key.contains(key) && holds(j)) return true;
  return false;
}

bool Form1::send(const KeyInfo* key, bool down) {
  // Shift goes out as the program always sent it; other keys leave the
  // scan code to the injector.
  return keys_.keybd_event(key->vk, key->vk == kVkShift ? 1 : 0, down ? 0 : 2, 0);
}

void Form1::press(size_t i, bool down) {
  const KeyChord& chord = Switches[i].key;
  if (i < states_.size()) states_[i].held = down && chord.kind() != KeyKind::Media;
  bool taken = true;
  if (chord.kind() == KeyKind::Media) {
    // Nothing to hold: the key goes down and up at once, on activation.
    if (!down) return;
    taken = send(chord.last(), true);
    taken = send(chord.last(), false) && taken;
  } else if (down) {
    for (const KeyInfo* k : chord) taken = send(k, true) && taken;
  } else {
    // Up in reverse order, but not a key another switch holds too (Ctrl+C
    // and Ctrl+V on two switches share the Ctrl). A switch that holds
    // nothing still sends its ups: the release the program always sent.
    for (auto k = chord.end(); k != chord.begin();) {
      --k;
      if (!heldByOther(i, *k)) taken = send(*k, false) && taken;
    }
  }
  if (taken) return showKeys(chord, down ? " gedrückt" : " losgelassen", down ? " gedr." : " los");
  // Windows takes no input for an elevated window or the secure desktop:
  // saying "gedrückt" then would be a lie.
  showKeys(chord, " abgewiesen", " abgew.");
  if (Log)
    Log("Windows hat die Taste " + chord.label() + " nicht angenommen (ein Fenster mit Administratorrechten "
        "oder der gesicherte Desktop ist vorn).");
}

void Form1::showKeys(const KeyChord& chord, const std::string& full, const std::string& brief) {
  // The whole text where it fits the status line; else a shorter word or
  // shorter key names, then both, then the first keys left out: the last
  // one, which the others modify, always shows.
  const std::string whole = chord.label() + full;
  std::string text;
  for (const std::string& t : {whole, chord.label() + brief, chord.label(true) + full, chord.label(true) + brief}) {
    text = t;
    if (view_.label1Fits(t)) return view_.setLabel1Shortened(t, whole);
  }
  std::string keys = chord.label(true);
  for (size_t plus; (plus = keys.find('+')) != std::string::npos;) {
    keys = keys.substr(plus + 1);
    text = "\u2026+";
    text += keys;
    text += brief;
    if (view_.label1Fits(text)) break;
  }
  view_.setLabel1Shortened(text, whole);
}

// Keys held for switches whose line let go while nobody listened. Media
// keys held nothing and are not pressed again.
void Form1::releaseInactive() {
  if (!MSComm1.PortOpen()) return;
  for (size_t i = 0; i < Switches.size(); ++i) {
    const SwitchSetting& s = Switches[i];
    if (!s.toggle && holds(i) && MSComm1.Holding(s.line) == s.invert) press(i, false);
  }
}

void Form1::Resync() {
  if (!MSComm1.PortOpen() || paused_) return;
  // Only keys whose state differs from their switch: a key-up for a key
  // nobody holds would reach the desktop as a stray release, and would
  // overwrite the status of the key that did go down again.
  for (size_t i = 0; i < Switches.size(); ++i) {
    const SwitchSetting& s = Switches[i];
    const bool active = MSComm1.Holding(s.line) != s.invert;
    if (!s.toggle && s.key.kind() != KeyKind::Media && active != holds(i)) press(i, active);
  }
}

uint8_t Form1::watchedLines() const {
  uint8_t watch = 0;
  for (const SwitchSetting& s : Switches) watch |= s.line;
  return watch;
}

void Form1::ChangeSwitches(std::vector<SwitchSetting> switches) {
  LetKeysUp();
  const uint8_t before = watchedLines();
  Switches = std::move(switches);
  for (const SwitchSetting& s : Switches)
    if (s.key.kind() == KeyKind::Button) {
      if (const std::string why = keys_.offerButtons(); !why.empty())
        tell("Tastlink kann die Maustaste nicht senden (" + why + "). Bitte starten Sie Tastlink neu.");
      break;
    }
  MSComm1.setWatch(watchedLines());
  if (!MSComm1.PortOpen()) return;
  // The line reports only the lines it was opened for: a new one needs
  // the port opened again.
  if (watchedLines() & ~before) {
    MSComm1.setPortOpen(false);
    if (!reopen(MSComm1.CommPort())) {
      waiting_ = Waiting::ForPortInUse;
      view_.setLabel1Caption("Adapter getrennt");
    }
    return;
  }
  lineOpened();
}

void Form1::Pause(bool on) {
  if (on == paused_) return;
  paused_ = on;
  if (on) LetKeysUp();
  // Going on, a switch held meanwhile counts from its next change, as on
  // opening: no key goes down by itself.
  else if (MSComm1.PortOpen()) lineOpened();
  view_.setLabel1Caption(on ? "Pausiert" : "Fortgesetzt");
}

void Form1::LetKeysUp() noexcept {
  if (!keys_.anyDown()) return;
  const std::vector<const KeyInfo*> held = keys_.held();
  // One switch's keys by their name; several would not fit the status line.
  const KeyChord* one = nullptr;
  size_t holding = 0;
  for (size_t i = 0; i < Switches.size(); ++i)
    if (holds(i)) {
      one = &Switches[i].key;
      ++holding;
    }
  for (SwitchState& st : states_) st.held = false;
  keys_.releaseAll();
  try {
    if (holding == 1 && one->size() == held.size()) showKeys(*one, " losgelassen", " los");
    else view_.setLabel1Caption((held.size() == 1 ? std::string(held[0]->label) : "Tasten") + " losgelassen");
  } catch (...) {
    // The keys are up; a window already gone cannot say so.
  }
}

void Form1::Shutdown() noexcept {
  LetKeysUp();
  MSComm1.closeQuietly();
}

namespace {

// "COM1 bis COM4, COM7, COM9, COM10" for ascending port numbers.
std::string portList(const std::vector<int>& ports) {
  std::string out;
  for (size_t i = 0; i < ports.size();) {
    size_t j = i;
    while (j + 1 < ports.size() && ports[j + 1] == ports[j] + 1) ++j;
    out += (out.empty() ? "COM" : ", COM") + std::to_string(ports[i]);
    if (j > i) out += (j == i + 1 ? ", COM" : " bis COM") + std::to_string(ports[j]);
    i = j + 1;
  }
  return out;
}

// The ports there but refused, with why: one line per reason, ports
// sharing it named together, and only a few lines at all: sixteen refused
// ports must not push a box's button off a small screen.
std::string refusedPorts(const std::vector<comport::ProbeFailure>& failures) {
  std::vector<std::pair<std::string, std::vector<int>>> groups;
  for (const auto& f : failures) {
    auto it = std::find_if(groups.begin(), groups.end(), [&](const auto& g) { return g.first == f.description; });
    if (it == groups.end()) it = groups.insert(groups.end(), {f.description, {}});
    it->second.push_back(f.port);
  }
  constexpr size_t kMaxLines = 4;
  const size_t shown = groups.size() <= kMaxLines ? groups.size() : kMaxLines - 1;
  std::string text = "\n\nVorhanden, aber nicht zu öffnen:";
  for (size_t i = 0; i < shown; ++i) text += "\n  " + portList(groups[i].second) + ": " + groups[i].first;
  if (shown < groups.size()) {
    std::vector<int> rest;
    for (size_t i = shown; i < groups.size(); ++i) rest.insert(rest.end(), groups[i].second.begin(), groups[i].second.end());
    std::sort(rest.begin(), rest.end());
    text += "\n  und " + std::to_string(rest.size()) + " weitere aus anderen Gründen: " + portList(rest);
  }
  return text;
}

}  // namespace

std::string noPortReport(const std::vector<comport::ProbeFailure>& failures) {
  std::string text =
      "Es wurde kein serieller Anschluss gefunden: keiner der Anschlüsse COM1 bis COM16 "
      "ließ sich öffnen.";
  if (failures.empty()) {
    text += "\n\nAuf diesem Rechner gibt es keinen seriellen Anschluss. Schließen Sie den "
            "Taster an einen seriellen Anschluss oder einen USB-Seriell-Adapter an und "
            "starten Sie Tastlink erneut.";
    return text;
  }
  return text + refusedPorts(failures);
}

}  // namespace tl

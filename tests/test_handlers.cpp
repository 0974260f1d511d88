// The handlers against fakes of every seam: start-up, the port list's
// click, the line's notification, and the ways out.
#include <gtest/gtest.h>

#include "fakes/fakes.h"

using namespace tl;
using Strings = std::vector<std::string>;

namespace {

struct Started : ::testing::Test {
  fake::World w;
  void SetUp() override {
    w.files.openable = {3, 12};
    w.form1.Form_Load();
  }
};

}  // namespace

TEST(FormLoad, ProbesListsSelectsAndOpensTheFirstPortInOrder) {
  fake::World w;
  w.files.openable = {3, 12};
  w.form1.Form_Load();

  Strings expected = {"label:Kein Kabel gefunden"};
  for (int n = 1; n <= 16; ++n) {
    expected.push_back("fopen:COM" + std::to_string(n) + ":9600,n,8,1");
    if (n == 3 || n == 12) {
      expected.push_back("add:" + std::to_string(n));
      expected.push_back("fclose:1");
    }
  }
  // The selection's click runs while the line is closed and does nothing;
  // the line opens once, on COM3, with both outputs enabled beforehand.
  expected.insert(expected.end(), {"select:0", "open:3 dtr rts"});
  EXPECT_EQ(w.log, expected);
  EXPECT_EQ(w.form.items, (Strings{"3", "12"}));
  EXPECT_EQ(w.form.comboText(), "3");
  EXPECT_EQ(w.line.CommPort(), 3);
  EXPECT_TRUE(w.line.PortOpen());
  EXPECT_EQ(w.form.label1, "Kein Kabel gefunden");
  EXPECT_TRUE(w.files.open.empty());
  EXPECT_EQ(w.files.maxOpenAtOnce, 1);
  EXPECT_EQ(w.files.tried.back(), "COM16:9600,n,8,1");
}

TEST(FormLoad, NoPortIsAPlainGermanErrorThatNamesTheDevicesThatRefused) {
  fake::World w;
  w.files.failing.emplace(1, Error(err::kPermissionDenied,
                                   "Der Anschluss COM1 (/dev/ttyS0) lässt sich nicht öffnen: keine Berechtigung"));
  w.files.failing.emplace(2, Error(err::kPathAccess, "COM2 (/dev/ttyUSB0) wird benutzt"));
  try {
    w.form1.Form_Load();
    FAIL() << "start-up must fail without a port";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), err::kInvalidPropertyValue);
    EXPECT_NE(e.description().find("keiner der Anschlüsse COM1 bis COM16"), std::string::npos);
    EXPECT_NE(e.description().find("COM1: Der Anschluss COM1 (/dev/ttyS0) lässt sich nicht öffnen: keine Berechtigung"),
              std::string::npos);
    EXPECT_NE(e.description().find("COM2: COM2 (/dev/ttyUSB0) wird benutzt"), std::string::npos);
    EXPECT_EQ(e.description().find("COM3:"), std::string::npos) << "absent ports are not failures";
  }
  EXPECT_FALSE(w.line.PortOpen());
  EXPECT_EQ(w.driver.openLines, 0);
  EXPECT_TRUE(w.files.open.empty());
  // A refused open is not closed.
  for (auto& entry : w.log) EXPECT_EQ(entry.rfind("fclose", 0), std::string::npos) << entry;
}

// However many ports refuse, the report stays a few lines: the same reason
// is said once for all its ports, and beyond four lines the rest are named.
TEST(FormLoad, NoPortReportSaysEachReasonOnceInAFewLines) {
  auto report = [](const std::function<std::string(int)>& reason, const std::vector<int>& ports) {
    std::vector<comport::ProbeFailure> failures;
    for (int p : ports) failures.push_back({p, reason(p)});
    const std::string text = noPortReport(failures);
    return text.substr(text.find("zu öffnen:\n") + 12);
  };
  const std::vector<int> all = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  EXPECT_EQ(report([](int) { return "keine Berechtigung (open: EACCES)."; }, all),
            "  COM1 bis COM16: keine Berechtigung (open: EACCES).");
  EXPECT_EQ(report([](int p) { return p == 3 ? "belegt (flock: EAGAIN)." : "keine Berechtigung (open: EACCES)."; },
                   {1, 2, 3, 5}),
            "  COM1, COM2, COM5: keine Berechtigung (open: EACCES).\n  COM3: belegt (flock: EAGAIN).");
  EXPECT_EQ(report([](int p) { return "Sperrdatei " + std::to_string(p) + "."; }, all),
            "  COM1: Sperrdatei 1.\n  COM2: Sperrdatei 2.\n  COM3: Sperrdatei 3.\n"
            "  und 13 weitere aus anderen Gründen: COM4 bis COM16");
}

TEST(FormLoad, APortTakenBetweenProbeAndOpenEndsStartUpWithTheLineError) {
  fake::World w;
  w.files.openable = {5};
  w.driver.refuse = {5};
  try {
    w.form1.Form_Load();
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), err::kPathAccess);
    EXPECT_NE(e.description().find("COM5"), std::string::npos);
  }
  EXPECT_FALSE(w.line.PortOpen());
}

TEST(FormLoad, ProbeAbsorbsEveryErrorAndListsInAscendingOrder) {
  fake::World w;
  w.files.openable = {1, 2, 10, 16};
  w.files.failing.emplace(4, Error(err::kIoError, "kaputt"));
  w.form1.Form_Load();
  EXPECT_EQ(w.form.items, (Strings{"1", "2", "10", "16"}));
  EXPECT_EQ(w.files.tried.size(), 16u);
}

TEST_F(Started, NotificationSendsTheKeyForPresentCtsBeforeTheStatusText) {
  size_t mark = w.log.size();
  w.cts(false);
  EXPECT_EQ(w.queue.pump(), 1u);
  w.cts(true);
  w.cts(true);
  w.queue.pump();
  w.cts(false);
  w.queue.pump();
  EXPECT_EQ(w.since(mark), (Strings{"key:16,1,2,0", "label:SHIFT losgelassen",  // first one: up though never down
                                    "key:16,1,0,0", "label:SHIFT gedrückt",     //
                                    "key:16,1,0,0", "label:SHIFT gedrückt",     // repeated, not deduplicated
                                    "key:16,1,2,0", "label:SHIFT losgelassen"}));
}

TEST_F(Started, AStrokeTheSystemRefusedIsNotCalledAPress) {
  w.keys.refuse = true;
  size_t mark = w.log.size();
  w.cts(true);
  w.queue.pump();
  EXPECT_EQ(w.since(mark), (Strings{"key:16,1,0,0", "label:SHIFT abgewiesen"}));
  EXPECT_FALSE(w.shift.anyDown()) << "a refused press holds nothing";
}

TEST_F(Started, HandlerReadsTheStateThatCausedItsNotification) {
  // Press and release queue up before the window thread gets to them: the
  // desktop must still see the press, then the release.
  w.cts(true);
  w.cts(false);
  size_t mark = w.log.size();
  w.queue.pump();
  EXPECT_EQ(w.since(mark), (Strings{"key:16,1,0,0", "label:SHIFT gedrückt", "key:16,1,2,0",
                                    "label:SHIFT losgelassen"}));
}

TEST_F(Started, ClickMovesTheLineFocusesTextAndLeavesStatusAlone) {
  w.form.selected = 1;  // the user chose "12"
  size_t mark = w.log.size();
  w.form1.Combo1_Click();
  EXPECT_EQ(w.since(mark), (Strings{"close", "open:12 dtr rts", "focus:Text1"}));
  EXPECT_EQ(w.line.CommPort(), 12);
  EXPECT_EQ(w.form.label1, "Kein Kabel gefunden");

  // Choosing the entry in use reopens it.
  mark = w.log.size();
  w.form1.Combo1_Click();
  EXPECT_EQ(w.since(mark), (Strings{"close", "open:12 dtr rts", "focus:Text1"}));
}

TEST_F(Started, ClickWhileClosedDoesNothing) {
  w.line.setPortOpen(false);
  size_t mark = w.log.size();
  w.form1.Combo1_Click();
  EXPECT_TRUE(w.since(mark).empty());
}

TEST_F(Started, NotificationsOfAClosedLineAreDropped) {
  w.cts(true);  // queued for the old line
  w.form.selected = 1;
  w.form1.Combo1_Click();
  size_t mark = w.log.size();
  EXPECT_EQ(w.queue.pump(), 1u);
  EXPECT_TRUE(w.since(mark).empty()) << "a report of COM3 must not act on COM12";
}

TEST_F(Started, ShiftHeldDownIsReleasedOnSwitchAndOnEveryWayOut) {
  w.cts(true);
  w.queue.pump();
  w.form.selected = 1;
  size_t mark = w.log.size();
  w.form1.Combo1_Click();
  EXPECT_EQ(w.since(mark), (Strings{"key:16,1,2,0", "label:SHIFT losgelassen", "close", "open:12 dtr rts",
                                    "focus:Text1"}));

  // The port in use, chosen again while held: the same button, the same key.
  w.cts(true);
  w.queue.pump();
  mark = w.log.size();
  w.form1.Combo1_Click();
  EXPECT_EQ(w.since(mark), (Strings{"close", "open:12 dtr rts", "focus:Text1"}));
  EXPECT_EQ(w.form.label1, "SHIFT gedrückt");
  // ...unless it was let go while the line was closed.
  w.driver.cts = false;
  mark = w.log.size();
  w.form1.Combo1_Click();
  EXPECT_EQ(w.since(mark), (Strings{"close", "open:12 dtr rts", "key:16,1,2,0", "label:SHIFT losgelassen",
                                    "focus:Text1"}));

  w.cts(true);
  w.queue.pump();
  mark = w.log.size();
  w.form1.Shutdown();
  w.form1.Shutdown();  // every way out calls it; the second finds nothing to do
  EXPECT_EQ(w.since(mark), (Strings{"key:16,1,2,0", "label:SHIFT losgelassen", "close"}));
  EXPECT_FALSE(w.line.PortOpen());
}

TEST_F(Started, NothingIsReleasedWhenShiftIsUp) {
  w.cts(false);
  w.queue.pump();
  size_t mark = w.log.size();
  w.form1.Shutdown();
  EXPECT_EQ(w.since(mark), (Strings{"close"}));
}

TEST_F(Started, LineFailureRaisesOnTheWindowThreadAndClosesTheLine) {
  w.cts(true);
  w.queue.pump();
  w.fail("Die Verbindung zu COM3 ist abgerissen");
  try {
    w.queue.pump();
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), err::kLineFailed);
    // The top level now runs Shutdown: Shift goes up though the line is gone.
    size_t mark = w.log.size();
    w.form1.Shutdown();
    EXPECT_EQ(w.since(mark), (Strings{"key:16,1,2,0", "label:SHIFT losgelassen"}));
  }
  EXPECT_EQ(w.driver.openLines, 0);
}

TEST(LineControl, PropertyRules) {
  fake::World w;
  EXPECT_FALSE(w.line.PortOpen());
  EXPECT_THROW(w.line.CTSHolding(), Error);
  EXPECT_THROW(w.line.setPortOpen(false), Error);
  EXPECT_THROW(w.line.setCommPort(0), Error);
  w.line.setCommPort(7);
  w.line.setPortOpen(true);
  EXPECT_THROW(w.line.setCommPort(8), Error);
  EXPECT_THROW(w.line.setPortOpen(true), Error);
  EXPECT_EQ(w.line.CommPort(), 7);
  w.driver.cts = true;
  EXPECT_TRUE(w.line.CTSHolding());
  EXPECT_EQ(w.log.back(), "open:7") << "outputs stay as enabled";
  w.line.setPortOpen(false);
  EXPECT_FALSE(w.line.PortOpen());
}

TEST(Runtime, CIntConvertsLikeTheFormsRuntime) {
  EXPECT_EQ(CInt("3"), 3);
  EXPECT_EQ(CInt(" 12 "), 12);
  EXPECT_EQ(CInt("-7"), -7);
  EXPECT_EQ(CInt("2.5"), 2);
  EXPECT_EQ(CInt("3.5"), 4);
  EXPECT_EQ(CInt("32767"), 32767);
  for (const char* bad : {"", " ", "COM3", "3a", "-", "."}) {
    try {
      CInt(bad);
      FAIL() << bad;
    } catch (const Error& e) {
      EXPECT_EQ(e.number(), err::kTypeMismatch) << bad;
    }
  }
  try {
    CInt("32768");
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), err::kOverflow);
  }
}

// Adapters come and go: the line waits for its device, the list follows.
TEST_F(Started, UnpluggedWhilePressedWaitsAndComesBackWithoutAClick) {
  w.cts(true);
  w.queue.pump();
  size_t mark = w.log.size();
  w.driver.refuse = {3};  // gone: one try at once, then wait
  w.unplug();
  w.queue.pump();
  EXPECT_EQ(w.since(mark), (Strings{"close", "key:16,1,2,0", "label:SHIFT losgelassen", "open:3 dtr rts",
                                    "label:Adapter getrennt"}));
  EXPECT_FALSE(w.line.PortOpen());
  // The device goes from the system's list; the entry stays, selected.
  w.form1.PortsChanged({{}, {3}});
  EXPECT_EQ(w.form.items, (Strings{"3", "12"}));
  mark = w.log.size();
  w.driver.refuse = {};
  w.form1.PortsChanged({{3}, {}});
  EXPECT_EQ(w.since(mark), (Strings{"open:3 dtr rts", "label:Kein Kabel gefunden", "select:0"}));
  // Replugged so fast that it is back before the old line ended.
  w.unplug();
  w.queue.pump();
  EXPECT_TRUE(w.line.PortOpen());
  EXPECT_EQ(w.form.label1, "Kein Kabel gefunden");
}

// Back, but the port will not open yet (the old line's driver still lets
// go): no device message comes again, so it is tried again until it opens,
// and told where the user looks if a few tries fail.
TEST_F(Started, AReturnThatWillNotOpenYetIsTriedAgainAndToldIfItStays) {
  for (const int failures : {1, 3}) {
    w.driver.refuse = {3};
    w.unplug();
    w.queue.pump();
    w.form1.PortsChanged({{}, {3}});
    w.form1.PortsChanged({{3}, {}});
    for (int i = 1; i < failures; ++i) w.form.runTimers();
    EXPECT_EQ(w.form.label1, failures == 1 ? "Adapter getrennt" : "Anschluss verweigert");
    const bool told = std::any_of(w.log.begin(), w.log.end(), [](const std::string& l) {
      return l.rfind("note:Der Anschluss COM3 ist belegt.", 0) == 0 && l.find("versucht es weiter") != l.npos;
    });
    EXPECT_EQ(told, failures > 1);
    const size_t mark = w.log.size();
    w.driver.refuse = {};
    w.form.runTimers();
    EXPECT_EQ(w.since(mark), (Strings{"open:3 dtr rts", "label:Kein Kabel gefunden", "select:0"}));
    w.form.runTimers();
    EXPECT_TRUE(w.form.timers.empty()) << "nothing left to try once open";
  }
  // Gone again before it opened: no more tries, nothing told.
  w.driver.refuse = {3};
  w.unplug();
  w.queue.pump();
  w.form1.PortsChanged({{3}, {}});
  const size_t mark = w.log.size();
  w.form1.PortsChanged({{}, {3}});
  w.form.runTimers();
  w.form.runTimers();
  EXPECT_EQ(w.form.label1, "Adapter getrennt");
  EXPECT_TRUE(w.form.timers.empty());
  EXPECT_EQ(w.since(mark), Strings{"select:0"});
}

// Some drivers never end a wait when their adapter goes: the device's
// leaving ends the line, and the line's own report, should it come late,
// changes nothing.
TEST_F(Started, ADeviceLeavingEndsItsSilentLineAndALateReportIsDropped) {
  w.cts(true);
  w.queue.pump();
  size_t mark = w.log.size();
  w.form1.PortsChanged({{}, {3}});
  EXPECT_EQ(w.since(mark), (Strings{"close", "key:16,1,2,0", "label:SHIFT losgelassen", "label:Adapter getrennt",
                                    "select:0"}));
  mark = w.log.size();
  w.unplug();
  w.queue.pump();
  EXPECT_EQ(w.since(mark), Strings{});
  w.form1.PortsChanged({{3}, {}});
  EXPECT_TRUE(w.line.PortOpen());
  EXPECT_EQ(w.form.label1, "Kein Kabel gefunden");
}

TEST_F(Started, AChoiceWhileWaitingWinsAndTheGoneEntryGoes) {
  w.driver.refuse = {3};
  w.unplug();
  w.queue.pump();
  w.form1.PortsChanged({{}, {3}});
  w.form.selected = 1;  // the user chose "12"
  w.form1.Combo1_Click();
  EXPECT_TRUE(w.line.PortOpen());
  EXPECT_EQ(w.line.CommPort(), 12);
  EXPECT_EQ(w.form.items, (Strings{"12"}));
  EXPECT_EQ(w.form.label1, "Kein Kabel gefunden");
  w.driver.refuse = {};
  w.form1.PortsChanged({{3}, {}});  // back, but no longer the one in use
  EXPECT_EQ(w.line.CommPort(), 12);
  EXPECT_EQ(w.form.items, (Strings{"3", "12"}));
  EXPECT_EQ(w.form.selected, 1);
}

TEST_F(Started, AChoiceThatWillNotOpenIsToldAndTheLineGoesBack) {
  w.driver.refuse = {12};
  w.form.selected = 1;
  size_t mark = w.log.size();
  w.form1.Combo1_Click();
  EXPECT_EQ(w.since(mark), (Strings{"close", "open:12 dtr rts", "note:Der Anschluss COM12 ist belegt.",
                                    "open:3 dtr rts", "select:0", "focus:Text1"}));
  EXPECT_TRUE(w.line.PortOpen());
  EXPECT_EQ(w.line.CommPort(), 3);
}

TEST_F(Started, TheListFollowsDevicesInOrderProbingEachNewOne) {
  w.files.openable = {3, 7, 12};  // 9 arrives but will not open
  w.form1.PortsChanged({{9, 7}, {12}});
  EXPECT_EQ(w.form.items, (Strings{"3", "7"}));
  EXPECT_EQ(w.form.selected, 0);
  EXPECT_TRUE(w.files.open.empty()) << "a probe closes what it opened";
}

TEST(FormLoad, APortGoneSinceTheProbeGivesWayToTheNextAndNoPortMayBeWaitedFor) {
  fake::World w;
  w.files.openable = {3, 12};
  w.driver.refuse = {3};
  w.form1.Form_Load();
  EXPECT_EQ(w.line.CommPort(), 12);
  EXPECT_EQ(w.form.items, (Strings{"12"}));

  fake::World idle;
  idle.form1.WaitForPort = true;
  idle.form1.Form_Load();
  EXPECT_EQ(idle.form.label1, "Warte auf Adapter");
  idle.files.openable = {5};
  idle.form1.PortsChanged({{5}, {}});
  EXPECT_TRUE(idle.line.PortOpen());
  EXPECT_EQ(idle.line.CommPort(), 5);
  EXPECT_EQ(idle.form.label1, "Kein Kabel gefunden");
}

TEST_F(Started, ReChoosingTheHeldPortThatWillNotReopenLetsShiftUp) {
  w.cts(true);
  w.queue.pump();
  w.driver.refuse = {3};
  w.form.selected = 0;
  w.form1.Combo1_Click();
  EXPECT_FALSE(w.line.PortOpen());
  EXPECT_EQ(w.form.label1, "Adapter getrennt");
  EXPECT_FALSE(w.shift.anyDown()) << "no line is left to report the release";
}

TEST(FormLoad, RefusedPortsAndAMissingStartPortAreToldWhereTheUserLooks) {
  auto notes = [](const fake::Log& log) {
    std::string text;
    for (const std::string& l : log)
      if (l.rfind("note:", 0) == 0) text += l.substr(5);
    return text;
  };
  const Error denied(err::kPermissionDenied, "keine Berechtigung");
  struct Case {
    int16_t start;
    bool wait;
    std::set<int> openable;
    std::string label, note;
    bool needsUser;
  };
  const Case cases[] = {
      {0, true, {}, "Anschluss verweigert", "COM1: keine Berechtigung", true},
      {5, true, {}, "Warte auf Adapter", "", false},  // not the port waited for
      {5, false, {3}, "Kein Kabel gefunden", "COM5 ist nicht da; Tastlink öffnet COM3.", false},
  };
  for (const Case& c : cases) {
    fake::World w;
    w.files.openable = c.openable;
    w.files.failing.emplace(1, denied);
    w.form1.StartPort = c.start;
    w.form1.WaitForPort = c.wait;
    std::string logged;
    bool needed = false;
    w.form1.Log = [&](const std::string& t) { logged += t; };
    w.form1.NeedsUser = [&] { needed = true; };
    w.form1.Form_Load();
    EXPECT_EQ(w.form.label1, c.label) << c.start;
    const std::string note = notes(w.log);
    EXPECT_EQ(note.empty(), c.note.empty()) << note;
    EXPECT_NE(note.find(c.note), std::string::npos) << note;
    EXPECT_EQ(logged, note) << "the record holds what the window says";
    EXPECT_EQ(needed, c.needsUser) << c.start;
  }
  // Refused at start, retried while it stays refused (told once, looked at
  // once a try), taken once free.
  {
    fake::World w;
    w.files.failing.emplace(1, denied);
    w.form1.WaitForPort = true;
    int told = 0;
    w.form1.NeedsUser = [&] { ++told; };
    w.form1.Form_Load();
    for (int i = 0; i < 6; ++i) w.form.runTimers();
    EXPECT_EQ(told, 1);
    EXPECT_EQ(std::count(w.files.tried.begin(), w.files.tried.end(), "COM1:9600,n,8,1"), 7);
    w.files.failing.clear();
    w.files.openable = {1};
    w.form.runTimers();
    EXPECT_EQ(w.form.label1, "Kein Kabel gefunden");
  }
  // An adapter that arrives refused while waiting is told too.
  fake::World w;
  w.form1.WaitForPort = true;
  w.form1.Form_Load();
  w.files.failing.emplace(4, denied);
  w.form1.PortsChanged({{4}, {}});
  EXPECT_EQ(w.form.label1, "Anschluss verweigert");
  EXPECT_EQ(notes(w.log), "Tastlink wartet auf einen Adapter.\n\nVorhanden, aber nicht zu öffnen:\n  COM4: keine Berechtigung");
}

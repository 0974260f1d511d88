// The Windows layers under wine: the window, keybd_event, the probe's file
// layer (with a port that blocks on open) and the comm line on COM ports the
// wine prefix maps to pseudo-terminals (TASTLINK_WINE_PORTS, e.g. "3,12").
#include <gtest/gtest.h>
#include <windows.h>

#include <dbt.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include "fakes/fakes.h"
#include "keys/win32/crash_release.h"
#include "keys/win32/keybd_injector.h"
#include "desktop/win32/user_files.h"
#include "serial/win32/comm_line.h"
#include "serial/win32/device_watch.h"
#include "serial/win32/file_layer.h"
#include "window/win32/form1_win32.h"
#include "window/win32/text.h"

using namespace tl;

namespace {

RECT childRect(HWND parent, HWND child) {
  RECT r;
  GetWindowRect(child, &r);
  MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

std::string rectText(RECT r) {
  std::ostringstream o;
  o << r.left << "," << r.top << " " << (r.right - r.left) << "x" << (r.bottom - r.top);
  return o.str();
}

std::wstring windowText(HWND h) {
  wchar_t buf[256] = {};
  GetWindowTextW(h, buf, 256);
  return buf;
}

void pump() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

// Pumps until `done` or a generous deadline; timers fire meanwhile.
template <typename Done>
void pumpUntil(Done done, DWORD ms = 10000) {
  const ULONGLONG end = GetTickCount64() + ms;
  for (ULONGLONG now; !done() && (now = GetTickCount64()) < end;) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
    pump();
  }
}

std::set<int> mappedPorts() {
  std::set<int> out;
  if (const char* s = std::getenv("TASTLINK_WINE_PORTS")) {
    std::istringstream in(s);
    for (std::string n; std::getline(in, n, ',');)
      if (!n.empty()) out.insert(std::atoi(n.c_str()));
  }
  return out;
}

}  // namespace

TEST(Win32Window, LayoutTextsAndControlKindsAt96Dpi) {
  window_win32::Win32Form1 f(GetModuleHandleW(nullptr));
  ASSERT_EQ(f.dpi(), 96u) << "the layout figures below are for 96 dpi";
  RECT client;
  GetClientRect(f.hwnd(), &client);
  EXPECT_EQ(rectText(client), "0,0 211x126");
  EXPECT_EQ(rectText(childRect(f.hwnd(), f.control(window_win32::kIdLabel1))), "0,7 120x15");
  EXPECT_EQ(rectText(childRect(f.hwnd(), f.control(window_win32::kIdLabel2))), "126,7 50x15");
  EXPECT_EQ(rectText(childRect(f.hwnd(), f.control(window_win32::kIdCombo1))), "178,4 33x21");
  EXPECT_EQ(rectText(childRect(f.hwnd(), f.control(window_win32::kIdText1))), "0,28 211x78");
  EXPECT_EQ(rectText(childRect(f.hwnd(), f.control(window_win32::kIdLabel3))), "0,112 211x15");

  EXPECT_EQ(windowText(f.hwnd()), L"Tastlink");
  EXPECT_TRUE(GetClassLongPtrW(f.hwnd(), GCLP_HICON)) << "the window takes the program's icon";
  EXPECT_EQ(windowText(f.control(window_win32::kIdLabel1)), L"");
  EXPECT_EQ(windowText(f.control(window_win32::kIdLabel2)), L"COM-Port:");
  EXPECT_EQ(windowText(f.control(window_win32::kIdLabel3)), L"D-Sub9 - Taster zwischen Pin7 und Pin8");
  f.setLabel1Caption("SHIFT gedrückt");
  EXPECT_EQ(windowText(f.control(window_win32::kIdLabel1)), L"SHIFT gedr\u00fcckt");
  EXPECT_EQ(GetWindowLongW(f.control(window_win32::kIdCombo1), GWL_STYLE) & 3, CBS_DROPDOWNLIST);
  EXPECT_TRUE(GetWindowLongW(f.control(window_win32::kIdText1), GWL_STYLE) & ES_MULTILINE);

  // Every text fits its box in the window's font.
  HDC dc = GetDC(f.hwnd());
  SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(f.control(window_win32::kIdLabel2), WM_GETFONT, 0, 0)));
  auto width = [&](const wchar_t* s) {
    SIZE sz;
    GetTextExtentPoint32W(dc, s, static_cast<int>(wcslen(s)), &sz);
    return sz.cx;
  };
  EXPECT_LE(width(L"COM-Port:"), 50);
  EXPECT_LE(width(L"SHIFT losgelassen"), 120);
  EXPECT_LE(width(L"Kein Kabel gefunden"), 120);
  EXPECT_LE(width(L"D-Sub9 - Taster zwischen Pin7 und Pin8"), 211);
  // Two-digit ports show whole in the closed list, which draws its entries
  // one pixel in from its box.
  SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(f.control(window_win32::kIdCombo1), WM_GETFONT, 0, 0)));
  COMBOBOXINFO info{};
  info.cbSize = sizeof info;
  ASSERT_TRUE(GetComboBoxInfo(f.control(window_win32::kIdCombo1), &info));
  EXPECT_LE(width(L"16") + 2, info.rcItem.right - info.rcItem.left);
  EXPECT_TRUE(GetWindowLongW(f.control(window_win32::kIdCombo1), GWL_STYLE) & CBS_OWNERDRAWFIXED);
  ReleaseDC(f.hwnd(), dc);
}

// On a monitor of another density the frame is that density's: the client
// caption grows with the text rather than cutting into the client area.
TEST(Win32Window, FrameFollowsTheMonitorsDensity) {
  constexpr DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
  const RECT at96 = window_win32::frameFor(211, 126, style, 96), at192 = window_win32::frameFor(422, 252, style, 192);
  const int caption96 = -at96.top, caption192 = -at192.top;
  EXPECT_GT(caption96, 0);
  if (GetProcAddress(GetModuleHandleW(L"user32.dll"), "AdjustWindowRectExForDpi")) {
    EXPECT_GT(caption192, caption96 * 3 / 2) << "the caption as at 192 dpi";
  }
}

TEST(Win32Window, TextFieldHasFirstFocusTabOrderAndSilentSelection) {
  window_win32::Win32Form1 f(GetModuleHandleW(nullptr));
  int clicks = 0;
  f.onComboClick = [&] { ++clicks; };
  f.comboAddItem("3");
  f.comboAddItem("12");
  f.comboShowSelection(0);
  EXPECT_EQ(f.comboText(), "3");
  EXPECT_EQ(f.comboListCount(), 2);
  EXPECT_EQ(f.comboItem(1), "12");
  EXPECT_EQ(clicks, 0) << "a selection by the program sends no notification";
  f.Show(SW_SHOWNORMAL);
  pump();
  EXPECT_EQ(GetFocus(), f.control(window_win32::kIdText1));
  EXPECT_EQ(GetNextDlgTabItem(f.hwnd(), f.control(window_win32::kIdText1), FALSE), f.control(window_win32::kIdCombo1));
  EXPECT_EQ(GetNextDlgTabItem(f.hwnd(), f.control(window_win32::kIdCombo1), FALSE), f.control(window_win32::kIdText1));
  // What the list sends when the user picks a row, the same row included.
  SendMessageW(f.hwnd(), WM_COMMAND, MAKEWPARAM(window_win32::kIdCombo1, CBN_SELENDOK),
               reinterpret_cast<LPARAM>(f.control(window_win32::kIdCombo1)));
  SendMessageW(f.hwnd(), WM_COMMAND, MAKEWPARAM(window_win32::kIdCombo1, CBN_SELCHANGE),
               reinterpret_cast<LPARAM>(f.control(window_win32::kIdCombo1)));
  EXPECT_EQ(clicks, 1);
  // Posted tasks run on the window's thread, from its queue.
  int ran = 0;
  f.post([&] { ++ran; });
  EXPECT_EQ(ran, 0);
  pump();
  EXPECT_EQ(ran, 1);
}

// Entries come and go beside the one shown: the list keeps showing it, and
// a choice given up goes back to it, not to whatever took its place.
TEST(Win32Window, EntriesComingAndGoingKeepTheShownEntry) {
  window_win32::Win32Form1 f(GetModuleHandleW(nullptr));
  HWND combo = f.control(window_win32::kIdCombo1);
  f.comboAddItem("3");
  f.comboAddItem("12");
  f.comboShowSelection(1);
  const struct {
    const char* insert;  // else remove
    int index;
    const char* shown;
  } steps[] = {{"1", 0, "12"}, {"14", 3, "12"}, {nullptr, 1, "12"}, {nullptr, 1, ""}};
  for (const auto& s : steps) {
    if (s.insert)
      f.comboInsertItem(s.index, s.insert);
    else
      f.comboRemoveItem(s.index);
    EXPECT_EQ(f.comboText(), s.shown) << s.index;
    SendMessageW(f.hwnd(), WM_COMMAND, MAKEWPARAM(window_win32::kIdCombo1, CBN_SELENDCANCEL), reinterpret_cast<LPARAM>(combo));
    EXPECT_EQ(f.comboText(), s.shown) << "after a cancelled choice, step " << s.index;
  }
}

// A port's device message as the system sends it, its name after the
// header; `size` overrides the header's size.
std::vector<BYTE> portMessage(const std::wstring& name, DWORD size = 0) {
  std::vector<BYTE> buffer(sizeof(DEV_BROADCAST_PORT_W) + (name.size() + 1) * sizeof(wchar_t));
  auto* port = reinterpret_cast<DEV_BROADCAST_PORT_W*>(buffer.data());
  port->dbcp_size = size ? size : static_cast<DWORD>(buffer.size());
  port->dbcp_devicetype = DBT_DEVTYP_PORT;
  std::wcscpy(port->dbcp_name, name.c_str());
  return buffer;
}

TEST(Win32Window, DeviceMessagesAreLookedAtOnceAfterTheirBurstWithThePortsTheyName) {
  window_win32::Win32Form1 f(GetModuleHandleW(nullptr));
  int looks = 0;
  window_win32::Win32Form1::NamedPorts named;
  f.watchDevices([&](const window_win32::Win32Form1::NamedPorts& n) {
    ++looks;
    named = n;
  });
  for (WPARAM kind : {DBT_DEVNODES_CHANGED, DBT_DEVICEARRIVAL, DBT_DEVICEREMOVECOMPLETE, DBT_DEVNODES_CHANGED})
    SendMessageW(f.hwnd(), WM_DEVICECHANGE, kind, 0);
  const std::pair<WPARAM, std::vector<BYTE>> messages[] = {
      {DBT_DEVICEREMOVECOMPLETE, portMessage(L"COM3")}, {DBT_DEVICEARRIVAL, portMessage(L"com12")},
      {DBT_DEVICEARRIVAL, portMessage(L"LPT1")},        {DBT_DEVICEARRIVAL, portMessage(L"COM0")},
      {DBT_DEVICEARRIVAL, portMessage(L"COM3x")},       {DBT_DEVICEARRIVAL, portMessage(L"COM1234567")},
      {DBT_DEVICEARRIVAL, portMessage(L"COM4", 12)},  // too short to hold a name
  };
  for (const auto& [kind, message] : messages)
    SendMessageW(f.hwnd(), WM_DEVICECHANGE, kind, reinterpret_cast<LPARAM>(message.data()));
  EXPECT_EQ(looks, 0) << "not while Windows waits for the answer";
  pumpUntil([&] { return looks > 0; });
  pumpUntil([] { return false; }, 500);
  EXPECT_EQ(looks, 1);
  EXPECT_EQ(named, (window_win32::Win32Form1::NamedPorts{{3, false}, {12, true}}));
}

// A look before and after cannot see a device pulled and put back between
// them; the system's messages can.
TEST(Win32Ports, APortPulledAndPutBackBetweenTwoLooksHasLeftAndArrived) {
  std::vector<int16_t> present{3, 12};
  serial_win32::Win32DeviceWatch watch([&] { return present; });
  struct Step {
    std::vector<std::pair<int16_t, bool>> named;
    std::vector<int16_t> left, arrived;
  };
  const Step steps[] = {
      {{{3, false}, {3, true}}, {3}, {3}},  // replugged
      {{{3, false}}, {3}, {3}},             // its going told, but back by the look
      {{{3, true}}, {}, {3}},               // its coming told after that look, or its going missed
      {{{5, true}, {5, false}}, {}, {}},    // named, but not there
  };
  for (const Step& s : steps) {
    for (const auto& [port, arrived] : s.named) watch.announced(port, arrived);
    const comport::PortChanges c = watch.changes();
    EXPECT_EQ(c.left, s.left);
    EXPECT_EQ(c.arrived, s.arrived);
  }
}

TEST(Win32Keys, SendInputMovesTheAsyncShiftState) {
  keys_win32::SendInputInjector keys;
  keys.keybd_event(16, 1, 0, 0);
  EXPECT_TRUE(GetAsyncKeyState(VK_SHIFT) & 0x8000);
  keys.keybd_event(16, 1, 2, 0);
  EXPECT_FALSE(GetAsyncKeyState(VK_SHIFT) & 0x8000);
}

// What reaches SendInput, and a refusal (UIPI, the secure desktop) that the
// status must not call a press. Wine never refuses: a stand-in does.
std::vector<INPUT> g_sent;
UINT g_take = 1;
UINT WINAPI fakeSendInput(UINT n, LPINPUT in, int) {
  g_sent.insert(g_sent.end(), in, in + n);
  return g_take;
}

TEST(Win32Keys, SendInputGetsTheHandlersValuesAndARefusalIsSaid) {
  keys_win32::SendInputInjector injector(fakeSendInput);
  Keyboard keys(injector);
  const struct {
    uint8_t vk, scan;
    uint32_t flags;
    UINT take;
    WORD wantScan;
    DWORD wantFlags;
    bool heldAfter;
  } cases[] = {
      {16, 1, 0, 0, 1, 0, false},                  // refused: nothing held
      {16, 1, 0, 1, 1, 0, true},                   // taken
      {16, 1, 2, 0, 1, KEYEVENTF_KEYUP, true},     // a refused release keeps it to let up
      {16, 1, 2, 1, 1, KEYEVENTF_KEYUP, false},
      {0xa5, 0, 0, 1, static_cast<WORD>(MapVirtualKeyW(0xa5, MAPVK_VK_TO_VSC)), KEYEVENTF_EXTENDEDKEY, true},
  };
  for (const auto& c : cases) {
    g_sent.clear();
    g_take = c.take;
    EXPECT_EQ(keys.keybd_event(c.vk, c.scan, c.flags, 0), c.take == 1) << int(c.vk);
    ASSERT_EQ(g_sent.size(), 1u);
    EXPECT_EQ(g_sent[0].type, static_cast<DWORD>(INPUT_KEYBOARD));
    EXPECT_EQ(g_sent[0].ki.wVk, c.vk);
    EXPECT_EQ(g_sent[0].ki.wScan, c.wantScan);
    EXPECT_EQ(g_sent[0].ki.dwFlags, c.wantFlags);
    EXPECT_EQ(keys.isDown(keyByVk(c.vk)), c.heldAfter) << int(c.vk);
  }
  g_take = 1;
  keys.releaseAll();
}

TEST(Win32Probe, APortThatBlocksOnOpenIsLeftOutWithoutHoldingUpTheRest) {
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  auto opener = [release](const std::wstring& path, serial_win32::CallFailure& failure) -> HANDLE {
    if (path == L"\\\\.\\COM5") {
      WaitForSingleObject(release, INFINITE);  // like a Bluetooth port
      return CreateEventW(nullptr, FALSE, FALSE, nullptr);
    }
    // COM4 would open, but the system does not name it: never asked.
    if (path == L"\\\\.\\COM2" || path == L"\\\\.\\COM9" || path == L"\\\\.\\COM4") return CreateEventW(nullptr, FALSE, FALSE, nullptr);
    // The settings of a device that is no serial port: the call is named.
    if (path == L"\\\\.\\COM7") {
      HANDLE h = CreateEventW(nullptr, FALSE, FALSE, nullptr);
      failure = serial_win32::applyLineSettings(h, true, true);
      CloseHandle(h);
      return INVALID_HANDLE_VALUE;
    }
    failure = {"CreateFile", ERROR_FILE_NOT_FOUND};
    return INVALID_HANDLE_VALUE;
  };
  // A deadline a loaded machine cannot miss for the ports that do answer at
  // once; COM5 costs the probe just that once.
  serial_win32::Win32FileLayer files(opener, std::chrono::milliseconds(2000),
                                     [](int n) { return n == 2 || n == 5 || n == 7 || n == 9; });
  fake::Log log;
  fake::Form form(log);
  ComboBox list(form);
  // Were the probe to wait for COM5, it would wait for ever: the port only
  // answers after the probe is done.
  auto result = comport::FindPorts(files, list);
  SetEvent(release);
  EXPECT_EQ(form.items, (std::vector<std::string>{"2", "9"}));
  EXPECT_EQ(files.openCount(), 0u);
  ASSERT_EQ(result.failures.size(), 2u);
  EXPECT_EQ(result.failures[0].port, 5);
  EXPECT_EQ(result.failures[0].description,
            "das Gerät antwortet nicht (CreateFile nach 2000 ms nicht zurückgekehrt).");
  EXPECT_EQ(result.failures[1].port, 7);
  EXPECT_EQ(result.failures[1].description,
            "das Gerät ist kein serieller Anschluss oder nicht mehr erreichbar (GetCommState: Fehler 6).");
}

TEST(Win32Reasons, GermanForTheCodesUsersMeetAndTheCallInBrackets) {
  const struct {
    DWORD code;
    const char* reason;
  } cases[] = {
      {ERROR_ACCESS_DENIED, "wird gerade von einem anderen Programm benutzt, oder der Zugriff ist gesperrt"},
      {ERROR_SHARING_VIOLATION, "wird gerade von einem anderen Programm benutzt"},
      {ERROR_FILE_NOT_FOUND, "nicht vorhanden"},
      {433, "kein Gerät hinter dem Anschluss"},
      {ERROR_GEN_FAILURE, "das Gerät ist nicht mehr angeschlossen"},
      {ERROR_DEVICE_NOT_CONNECTED, "das Gerät ist nicht mehr angeschlossen"},
      {ERROR_IO_DEVICE, "Ein-/Ausgabefehler am Gerät"},
      {ERROR_OPERATION_ABORTED, "der Treiber hat den Vorgang abgebrochen"},
      {ERROR_NOT_READY, "das Gerät ist nicht bereit"},
      {ERROR_INVALID_HANDLE, "das Gerät ist kein serieller Anschluss oder nicht mehr erreichbar"},
      {ERROR_SEM_TIMEOUT, "das Gerät antwortet nicht (Zeitüberschreitung)"},
      {ERROR_INVALID_PARAMETER, "unerwarteter Fehler des Betriebssystems"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(serial_win32::osReason(c.code), c.reason) << c.code;
    EXPECT_EQ(serial_win32::reasonWithCall({"WaitCommEvent", c.code}),
              std::string(c.reason) + " (WaitCommEvent: Fehler " + std::to_string(c.code) + ")");
  }
  EXPECT_EQ(serial_win32::openFailure(3, {"SetCommState", ERROR_NOT_READY}),
            "Der Anschluss COM3 lässt sich nicht öffnen: das Gerät ist nicht bereit (SetCommState: Fehler 21).");
}

// The line thread's account of the watched lines. Each step: a wait armed
// (at once or pending), a completion with its mask and the levels read
// after it, or a look without an event (settle, RI poll); and the changes
// it reports: the line each is about and every line's level after it.
TEST(Win32Line, FollowerReportsEveryChangeAndNeverAPhantomPress) {
  enum Kind { Armed, ArmedAtOnce, Completed, Settled };
  using Changes = std::vector<serial_win32::LineChange>;
  struct Step {
    Kind kind;
    DWORD mask;
    uint8_t levels;
    Changes reported;
  };
  constexpr uint8_t C = lines::CTS, D = lines::DSR, K = lines::DCD, R = lines::RI;
  const struct {
    const char* name;
    uint8_t watch, initial;
    std::vector<Step> steps;
    int pollsRing = -1;  // after the steps; -1: not asked
  } cases[] = {
      {"press and release", C, 0,
       {{Armed, 0, 0, {}}, {Completed, EV_CTS, C, {{C, C}}}, {Armed, 0, 0, {}}, {Completed, EV_CTS, 0, {{C, 0}}}}},
      {"press too short to see", C, 0, {{Armed, 0, 0, {}}, {Completed, EV_CTS, 0, {{C, C}, {C, 0}}}}},
      {"release too short to see", C, C, {{Armed, 0, 0, {}}, {Completed, EV_CTS, C, {{C, 0}, {C, C}}}}},
      // Were the unchanged line sent again, a toggled key would flip.
      {"an unwatched line's event says nothing", C, C, {{Armed, 0, 0, {}}, {Completed, EV_DSR, C | D, {}}}},
      {"edge slept through, found by the settle", C, 0,
       {{Armed, 0, 0, {}}, {Settled, 0, C, {{C, C}}}, {Settled, 0, C, {}}}},
      {"the wait then reports the settled edge too", C, 0,
       {{Armed, 0, 0, {}}, {Settled, 0, C, {{C, C}}}, {Completed, EV_CTS, C, {}}}},
      {"an event kept from before the wait", C, 0, {{ArmedAtOnce, 0, 0, {}}, {Completed, EV_CTS, 0, {}}}},
      {"a cancelled wait", C, 0, {{Armed, 0, 0, {}}, {Completed, 0, 0, {}}}},
      {"two switches pressed in overlap", C | D, 0,
       {{Armed, 0, 0, {}}, {Completed, EV_CTS, C, {{C, C}}}, {Armed, 0, 0, {}}, {Completed, EV_DSR, C | D, {{D, C | D}}},
        {Armed, 0, 0, {}}, {Completed, EV_CTS, D, {{C, D}}}, {Armed, 0, 0, {}}, {Completed, EV_DSR, 0, {{D, 0}}}}},
      {"both in one completion, one change each", C | D, 0,
       {{Armed, 0, 0, {}}, {Completed, EV_CTS | EV_DSR, C | D, {{C, C}, {D, C | D}}}}},
      {"a settled edge of one line leaves the other's whole press", C | D, 0,
       {{Armed, 0, 0, {}}, {Settled, 0, C, {{C, C}}}, {Completed, EV_CTS | EV_DSR, C, {{D, C | D}, {D, C}}}}},
      {"carrier through EV_RLSD", K, 0, {{Armed, 0, 0, {}}, {Completed, EV_RLSD, K, {{K, K}}}}},
      {"RI raising EV_RING only as it goes off: polled on, evented off", R, 0,
       {{Armed, 0, 0, {}}, {Settled, 0, R, {{R, R}}}, {Completed, EV_RING, 0, {{R, 0}}}, {Armed, 0, 0, {}},
        {Completed, EV_RING, 0, {{R, R}, {R, 0}}}},
       1},
      {"RI's driver reports it coming on: no more polling", R, 0,
       {{Armed, 0, 0, {}}, {Completed, EV_RING, R, {{R, R}}}}, 0},
  };
  for (const auto& c : cases) {
    serial_win32::LineFollower f(c.watch, c.initial);
    for (const Step& s : c.steps) {
      Changes got;
      if (s.kind == Armed || s.kind == ArmedAtOnce) f.armed(s.kind == ArmedAtOnce);
      if (s.kind == Completed) got = f.completed(s.mask, s.levels);
      if (s.kind == Settled) got = f.settled(s.levels);
      EXPECT_TRUE(got == s.reported) << c.name << ": " << got.size() << " changes";
    }
    if (c.pollsRing >= 0) {
      EXPECT_EQ(f.pollsRing(), c.pollsRing == 1) << c.name;
    }
  }
  EXPECT_EQ(serial_win32::commMask(D | R), static_cast<DWORD>(EV_DSR | EV_RING | EV_ERR));
  EXPECT_EQ(serial_win32::levelsOf(MS_CTS_ON | MS_RLSD_ON | MS_RING_ON), C | K | R);
}

TEST(Win32Desktop, SettingsTextFilesAndCopyMarks) {
  using namespace desktop_win32;
  using window_win32::textAsUtf8;
  const struct {
    std::string bytes, text;
  } texts[] = {
      {"\xEF\xBB\xBFkey=Ctrl", "key=Ctrl"},
      {std::string("\xFF\xFEk\0=\0\xE4\0", 8), "k=\u00E4"},
      {std::string("\xFE\xFF\0k\0=\0\xE4", 8), "k=\u00E4"},
      {"k=\xC3\xA4", "k=\u00E4"},
  };
  for (const auto& t : texts) EXPECT_EQ(textAsUtf8(t.bytes), t.text) << t.text;
  if (GetACP() == 1252) {
    EXPECT_EQ(textAsUtf8("k=\xE4"), "k=\u00E4") << "Notepad's ANSI";
  }

  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring folder = std::wstring(temp) + L"tastlink-test-" + std::to_wstring(GetCurrentProcessId());
  EXPECT_TRUE(readSettings(folder).values.empty()) << "no folder, no file: no values";
  EXPECT_EQ(rememberedPort(folder), "");
  rememberPort(folder, "COM7");
  rememberPort(folder, "COM12");
  EXPECT_EQ(rememberedPort(folder), "COM12");
  const std::wstring ini = folder + L"\\tastlink.ini";
  CreateDirectoryW(ini.c_str(), nullptr);  // there, but no file to read
  try {
    readSettings(folder);
    ADD_FAILURE() << "an unreadable file read as none";
  } catch (const app::SettingsError& e) {
    EXPECT_NE(std::string(e.what()).find("tastlink.ini l\u00E4sst sich nicht lesen"), std::string::npos) << e.what();
  }
  RemoveDirectoryW(ini.c_str());
  EXPECT_TRUE(inTemporaryFolder(std::wstring(temp) + L"Temp1_tastlink.zip\\Tastlink.exe"));
  EXPECT_FALSE(inTemporaryFolder(L"C:\\Programme\\Tastlink\\Tastlink.exe"));
  DeleteFileW((folder + L"\\state.ini").c_str());
  RemoveDirectoryW(folder.c_str());

  // Marks held at once, in order: whether each finds a copy in its way.
  // COM4 is in use by another copy; one process shares its own marks.
  HANDLE other = CreateMutexW(nullptr, FALSE, L"Local\\Tastlink.COM4");
  std::vector<std::unique_ptr<CopyMark>> held;
  for (auto [port, second] : {std::pair{"", false}, {"", true}, {"com4", true}, {"COM5", false}, {"COM5", false}}) {
    held.push_back(std::make_unique<CopyMark>(port));
    EXPECT_EQ(held.back()->second(), second) << port;
  }
  CloseHandle(other);
}

DWORD WINAPI crashSoon(void*) {
  Sleep(100);
  *static_cast<volatile int*>(nullptr) = 1;
  return 0;
}

// Run by test_windows.py, one process per way to die (TASTLINK_CRASH), which
// then checks that Shift is up for the desktop.
TEST(Win32Crash, ShiftGoesUpWhenTheProcessDies) {
  const char* how = std::getenv("TASTLINK_CRASH");
  if (!how) GTEST_SKIP() << "dies on purpose; run through test_windows.py";
  static keys_win32::SendInputInjector injector;
  static Keyboard keys(injector);
  keys_win32::letKeysUpOnCrash();
  // A combination and a mouse button held, as switches hold them.
  for (uint8_t vk : {VK_CONTROL, VK_SHIFT, VK_LBUTTON}) keys.keybd_event(vk, vk == VK_SHIFT ? 1 : 0, 0, 0);
  // Said, so that the test knows the crash had something to let up.
  if (GetAsyncKeyState(VK_SHIFT) & 0x8000) std::printf("shift down before the crash\n"), std::fflush(stdout);
  const std::string what = how;
  if (what == "fault") *static_cast<volatile int*>(nullptr) = 1;
  if (what == "thread") std::thread([] { *static_cast<volatile int*>(nullptr) = 1; }).join();
  if (what == "terminate") std::terminate();
  if (what == "abort") std::abort();
  if (what == "busy") {
    // The window's thread keeps pressing while another thread crashes: no
    // press may get through once the crash has let the keys up.
    CreateThread(nullptr, 0, crashSoon, nullptr, 0, nullptr);
    for (bool down = false;; down = !down) keys.keybd_event(16, 1, down ? 0 : 2, 0);
  }
  FAIL() << "unknown way to die: " << what;
}

TEST(Win32Ports, ProbeAndLineOnMappedPorts) {
  const auto ports = mappedPorts();
  if (ports.size() < 2) GTEST_SKIP() << "needs two COM ports mapped to ptys (TASTLINK_WINE_PORTS)";
  const int first = *ports.begin(), second = *std::next(ports.begin());
  serial_win32::Win32LineDriver driver;
  {
    fake::Log log;
    fake::Form form(log);
    ComboBox list(form);
    serial_win32::Win32FileLayer files;
    comport::FindPorts(files, list);
    std::vector<std::string> expected;
    for (int p : ports) expected.push_back(std::to_string(p));
    EXPECT_EQ(form.items, expected) << "ascending, every mapped port";
    EXPECT_EQ(files.openCount(), 0u);
  }
  int notes = 0;
  auto line = driver.open(static_cast<int16_t>(second), true, true, lines::CTS, [&](const LineEvent&) { ++notes; });
  EXPECT_FALSE((line->levels() & lines::CTS)) << "a pty has no CTS; reading it must not fail";
  // Windows' serial drivers open a port once only; wine does not enforce
  // that for ports backed by pseudo-terminals, so check it only where the
  // platform does.
  HANDLE second_open = CreateFileW(serial_win32::devicePath(second).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  const bool exclusive = second_open == INVALID_HANDLE_VALUE;
  if (!exclusive) CloseHandle(second_open);
  if (exclusive) {
    // Held by our line: the probe leaves it out, a second line cannot open it.
    fake::Log log;
    fake::Form form(log);
    ComboBox list(form);
    serial_win32::Win32FileLayer files;
    auto result = comport::FindPorts(files, list);
    EXPECT_EQ(std::count(form.items.begin(), form.items.end(), std::to_string(second)), 0);
    EXPECT_EQ(std::count(form.items.begin(), form.items.end(), std::to_string(first)), 1);
    try {
      driver.open(static_cast<int16_t>(second), true, true, lines::CTS, [](const LineEvent&) {});
      FAIL();
    } catch (const Error& e) {
      EXPECT_NE(e.description().find("COM" + std::to_string(second) + " lässt sich nicht öffnen: wird gerade von einem anderen Programm benutzt"),
                std::string::npos)
          << e.description();
    }
  } else {
    std::printf("note: this platform does not hold COM ports exclusively; exclusivity not checked\n");
  }
  line.reset();  // closing cancels the pending wait
  EXPECT_EQ(notes, 0);
  // Each line's thread, events and port go with it. Wine has no handle
  // count: probe the handle values instead.
  auto openHandles = [] {
    int n = 0;
    DWORD flags = 0;
    for (uintptr_t v = 4; v < 16384; v += 4) n += GetHandleInformation(reinterpret_cast<HANDLE>(v), &flags) ? 1 : 0;
    return n;
  };
  const int before = openHandles();
  for (int i = 0; i < 50; ++i) driver.open(static_cast<int16_t>(second), true, true, lines::CTS, [](const LineEvent&) {}).reset();
  const int after = openHandles();
  EXPECT_LE(after, before + 2) << "handles left behind by 50 opened and closed lines";
  auto again = driver.open(static_cast<int16_t>(second), true, true, lines::CTS, [](const LineEvent&) {});
  EXPECT_TRUE(again);
  try {
    driver.open(17, true, true, lines::CTS, [](const LineEvent&) {});
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), err::kDeviceUnavailable) << e.description();
  }
}

namespace {

std::wstring versionString(const std::vector<char>& data, const wchar_t* name, const wchar_t* block = L"040704B0") {
  wchar_t* value = nullptr;
  UINT len = 0;
  const std::wstring key = std::wstring(L"\\StringFileInfo\\") + block + L"\\" + name;
  if (!VerQueryValueW(data.data(), key.c_str(), reinterpret_cast<void**>(&value), &len)) return L"<none>";
  return value;
}

BOOL CALLBACK collectLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR out) {
  reinterpret_cast<std::vector<WORD>*>(out)->push_back(language);
  return TRUE;
}

}  // namespace

TEST(Win32Version, RecordOfTheBuiltExecutables) {
  const char* paths = std::getenv("TASTLINK_EXES");
  if (!paths) GTEST_SKIP() << "TASTLINK_EXES names the executables to read";
  std::istringstream in(paths);
  for (std::string path; std::getline(in, path, ';');) {
    const std::wstring wpath = window_win32::widen(path);
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(wpath.c_str(), &handle);
    ASSERT_GT(size, 0u) << path;
    std::vector<char> data(size);
    ASSERT_TRUE(GetFileVersionInfoW(wpath.c_str(), 0, size, data.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT len = 0;
    ASSERT_TRUE(VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &len));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u) << path;
    EXPECT_EQ(fixed->dwFileVersionLS, 0u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0u);
    DWORD* translation = nullptr;
    ASSERT_TRUE(VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &len));
    EXPECT_EQ(LOWORD(*translation), 0x0407);
    EXPECT_EQ(HIWORD(*translation), 1200);
    EXPECT_EQ(versionString(data, L"FileVersion"), L"1.00");
    EXPECT_EQ(versionString(data, L"ProductVersion"), L"1.00");
    EXPECT_EQ(versionString(data, L"InternalName"), L"Tastlink");
    EXPECT_EQ(versionString(data, L"OriginalFilename"), L"Tastlink.exe");
    // Every resource is German, and the program has its icon.
    HMODULE image = LoadLibraryExW(wpath.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_TRUE(image) << path;
    for (LPCWSTR type : {RT_VERSION, RT_MANIFEST, RT_GROUP_ICON}) {
      std::vector<WORD> languages;
      EnumResourceLanguagesW(image, type, MAKEINTRESOURCEW(1), collectLanguage, reinterpret_cast<LONG_PTR>(&languages));
      EXPECT_EQ(languages, std::vector<WORD>{0x0407}) << path << " type " << reinterpret_cast<uintptr_t>(type);
    }
    // Not virtualised as an old installer would be; Windows 10 and 11 known.
    HRSRC m = FindResourceW(image, MAKEINTRESOURCEW(1), RT_MANIFEST);
    ASSERT_TRUE(m) << path;
    const std::string manifest(static_cast<const char*>(LockResource(LoadResource(image, m))), SizeofResource(image, m));
    for (const char* part : {"level=\"asInvoker\"", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"})
      EXPECT_NE(manifest.find(part), std::string::npos) << path << ": " << part;
    FreeLibrary(image);
  }
}

TEST(Win32Version, RecordOfTheSetupPrograms) {
  const char* paths = std::getenv("TASTLINK_SETUPS");
  if (!paths) GTEST_SKIP() << "TASTLINK_SETUPS names the setup programs to read";
  std::istringstream in(paths);
  for (std::string path; std::getline(in, path, ';');) {
    const std::wstring wpath = window_win32::widen(path);
    DWORD handle = 0;
    std::vector<char> data(GetFileVersionInfoSizeW(wpath.c_str(), &handle));
    ASSERT_FALSE(data.empty()) << path;
    ASSERT_TRUE(GetFileVersionInfoW(wpath.c_str(), 0, static_cast<DWORD>(data.size()), data.data()));
    DWORD* translation = nullptr;
    UINT len = 0;
    ASSERT_TRUE(VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &len));
    // German, in the code page NSIS gives German (1252).
    EXPECT_EQ(LOWORD(*translation), 0x0407) << path;
    EXPECT_EQ(HIWORD(*translation), 1252) << path;
    EXPECT_EQ(versionString(data, L"ProductName", L"040704e4"), L"Tastlink");
    EXPECT_EQ(versionString(data, L"ProductVersion", L"040704e4"), L"1.0.0");
    EXPECT_EQ(versionString(data, L"CompanyName", L"040704e4"), L"The Tastlink developers");
  }
}

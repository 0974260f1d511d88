// Looks at a running Tastlink from another process, as a person would:
//   inspect box    -> the error report's text (exit 1 if there is none)
//   inspect main   -> the main window's list, selection and visibility
//   inspect ok     -> presses OK on the error report
//   inspect close  -> closes every Tastlink main window like its close button
//   inspect shift  -> "shift=1" while Shift is down for the whole desktop
//   inspect down   -> "down=16,17": the virtual keys (mouse buttons too) down for the desktop
//   inspect keys tab shift+tab alt+space e ...  -> real key input (SendInput)
//   inspect wheel  -> one wheel notch down with the pointer over the list
//                     (this and the menus leave the pointer in the top right corner)
//   inspect query | cancel | end  -> the session may end / did not / does
//   inspect move   -> starts moving the window (a modal loop until "esc")
//   inspect watch MS -> "ready", then "down"/"up" for every Shift event for MS ms
//   inspect note   -> the note's text (exit 1 if there is none)
//   inspect define N | undefine N -> COMN's DOS name made or taken away, as a
//                     serial driver does when its device comes or goes
//   inspect devchange arrival|removal N -> what Windows then tells the windows
//   inspect names  -> "names=3,12": the COM ports the system names (QueryDosDevice)
//   inspect hold N -> "held", then holds COMN's mark as a copy using it does,
//                     until its input ends
//   inspect tray   -> "tray=1" while wine's notification area shows an icon,
//                     "shell=1" where a shell takes icons at all
//   inspect tip    -> the icon's tooltip
//   inspect traymenu LETTER -> right-clicks the icon, picks the item by its mnemonic
//   inspect trayaside -> wine's own tray window moved to the screen's far corner
//   inspect minimize -> the main window's minimize button
//   inspect menu LETTER -> right-clicks the status line, picks the item by its mnemonic
//                    (exit 1, nothing clicked, while another window covers it)
//   inspect settings -> the settings window's controls: "ID=text", a check box "ID=0|1"
//   inspect foreground -> the foreground window's class and title, "CLASS|TITLE"
//   inspect crash  -> a thread of the program's, not its window's, faults (it starts at address 0)
#include <windows.h>

#include <commctrl.h>
#include <dbt.h>
#include <winternl.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <utility>
#include <vector>

namespace {

std::string utf8(const std::wstring& s) {
  if (s.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0, nullptr, nullptr);
  std::string out(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n, nullptr, nullptr);
  return out;
}

// A named CALLBACK function: a lambda converts only to the default calling
// convention, which on i686 is not WNDENUMPROC's stdcall.
BOOL CALLBACK matchBox(HWND h, LPARAM lp) {
  wchar_t cls[64] = {}, title[64] = {};
  GetClassNameW(h, cls, 64);
  GetWindowTextW(h, title, 64);
  if (std::wstring(cls) == L"#32770" && std::wstring(title) == L"Tastlink" && IsWindowVisible(h)) {
    *reinterpret_cast<HWND*>(lp) = h;
    return FALSE;
  }
  return TRUE;
}

HWND findBox() {
  HWND found = nullptr;
  EnumWindows(matchBox, reinterpret_cast<LPARAM>(&found));
  return found;
}

void sendKey(WORD vk, bool up) {
  INPUT in{};
  in.type = INPUT_KEYBOARD;
  in.ki.wVk = vk;
  in.ki.wScan = static_cast<WORD>(MapVirtualKeyW(vk, MAPVK_VK_TO_VSC));
  in.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
  SendInput(1, &in, sizeof in);
  Sleep(30);
}

void pressKeys(int argc, wchar_t** argv) {
  struct Name {
    const wchar_t* name;
    WORD vk;
  };
  const Name names[] = {{L"tab", VK_TAB},     {L"esc", VK_ESCAPE},  {L"f4", VK_F4},         {L"down", VK_DOWN},
                        {L"up", VK_UP},       {L"enter", VK_RETURN}, {L"comma", VK_OEM_COMMA}, {L"space", VK_SPACE}};
  for (int i = 2; i < argc; ++i) {
    std::wstring key = argv[i];
    if (key.rfind(L"text:", 0) == 0) {  // typed as characters, whatever the layout
      for (wchar_t c : key.substr(5))
        for (DWORD up : {DWORD{0}, DWORD{KEYEVENTF_KEYUP}}) {
          INPUT in{};
          in.type = INPUT_KEYBOARD;
          in.ki.wScan = c;
          in.ki.dwFlags = KEYEVENTF_UNICODE | up;
          SendInput(1, &in, sizeof in);
          Sleep(30);
        }
      continue;
    }
    WORD modifier = 0;
    for (auto [prefix, vk] : {std::pair{L"shift+", VK_SHIFT}, std::pair{L"ctrl+", VK_CONTROL}, std::pair{L"alt+", VK_MENU}})
      if (key.rfind(prefix, 0) == 0) key = key.substr(wcslen(prefix)), modifier = static_cast<WORD>(vk);
    WORD vk = key.size() == 1 ? LOBYTE(VkKeyScanW(key[0])) : 0;  // a letter: a mnemonic
    for (const Name& n : names)
      if (key == n.name) vk = n.vk;
    if (!vk) continue;
    if (modifier) sendKey(modifier, false);
    sendKey(vk, false);
    sendKey(vk, true);
    if (modifier) sendKey(modifier, true);
    Sleep(150);
  }
}

LRESULT CALLBACK shiftHook(int code, WPARAM wp, LPARAM lp) {
  const auto* k = reinterpret_cast<const KBDLLHOOKSTRUCT*>(lp);
  if (code == HC_ACTION && (k->vkCode == VK_SHIFT || k->vkCode == VK_LSHIFT || k->vkCode == VK_RSHIFT)) {
    std::printf("%s\n", (k->flags & LLKHF_UP) ? "up" : "down");
    std::fflush(stdout);
  }
  return CallNextHookEx(nullptr, code, wp, lp);
}

// Every key as "down VK"/"up VK" (either side's modifier as the generic
// one), every mouse button as "down mouse"/"up mouse" with its name.
LRESULT CALLBACK keyHook(int code, WPARAM wp, LPARAM lp) {
  const auto* k = reinterpret_cast<const KBDLLHOOKSTRUCT*>(lp);
  if (code == HC_ACTION) {
    DWORD vk = k->vkCode;
    if (vk >= VK_LSHIFT && vk <= VK_RMENU && vk != VK_RMENU) vk = VK_SHIFT + (vk - VK_LSHIFT) / 2;
    std::printf("%s %lu\n", (k->flags & LLKHF_UP) ? "up" : "down", vk);
    std::fflush(stdout);
  }
  return CallNextHookEx(nullptr, code, wp, lp);
}

LRESULT CALLBACK mouseHook(int code, WPARAM wp, LPARAM lp) {
  static const std::pair<WPARAM, const char*> kButtons[] = {
      {WM_LBUTTONDOWN, "down left"}, {WM_LBUTTONUP, "up left"},     {WM_RBUTTONDOWN, "down right"},
      {WM_RBUTTONUP, "up right"},    {WM_MBUTTONDOWN, "down middle"}, {WM_MBUTTONUP, "up middle"},
      {WM_XBUTTONDOWN, "down x"},    {WM_XBUTTONUP, "up x"}};
  for (auto [message, name] : kButtons)
    if (code == HC_ACTION && wp == message) {
      std::printf("%s\n", name);
      std::fflush(stdout);
    }
  return CallNextHookEx(nullptr, code, wp, lp);
}

// Wine moves the X pointer only to a new place, and not while a menu (even
// one just closed) holds it; it asks X where the pointer is once the last
// move is 100 ms old. So a move is made from a neighbouring pixel and
// checked there, until it holds.
void moveTo(POINT to) {
  for (ULONGLONG end = GetTickCount64() + 20000; GetTickCount64() < end;) {
    SetCursorPos(to.x - 1, to.y);
    SetCursorPos(to.x, to.y);
    Sleep(150);
    POINT at{};
    if (GetCursorPos(&at) && at.x == to.x && at.y == to.y) return;
  }
}

// The pointer to the screen's top right corner, where no window comes. Wine
// takes the X server's key state whenever the pointer enters one of its
// windows, and X never saw the keys sent here or by the program: a key held
// meanwhile would read as up. A window that opens or closes under the
// pointer does the same.
void parkPointer() { moveTo({GetSystemMetrics(SM_CXSCREEN) - 1, 0}); }

int watch(DWORD ms, bool all) {
  HHOOK hook = SetWindowsHookExW(WH_KEYBOARD_LL, all ? keyHook : shiftHook, GetModuleHandleW(nullptr), 0);
  if (!hook) return 1;
  HHOOK mouse = all ? SetWindowsHookExW(WH_MOUSE_LL, mouseHook, GetModuleHandleW(nullptr), 0) : nullptr;
  // Clicks land where nothing minds them.
  if (all) parkPointer();
  std::printf("ready\n");
  std::fflush(stdout);
  const ULONGLONG end = GetTickCount64() + ms;
  for (ULONGLONG now; (now = GetTickCount64()) < end;) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
  }
  UnhookWindowsHookEx(hook);
  if (mouse) UnhookWindowsHookEx(mouse);
  return 0;
}

// COMn's DOS name made (a permanent link, as a driver's) or taken away,
// through ntdll: wine's DefineDosDevice cuts names longer than four letters.
int defineName(const std::wstring& number, bool define) {
  using Create = LONG(NTAPI*)(HANDLE*, ACCESS_MASK, OBJECT_ATTRIBUTES*, UNICODE_STRING*);
  using Open = LONG(NTAPI*)(HANDLE*, ACCESS_MASK, OBJECT_ATTRIBUTES*);
  using Temporary = LONG(NTAPI*)(HANDLE);
  HMODULE nt = GetModuleHandleW(L"ntdll.dll");
  auto create = reinterpret_cast<Create>(reinterpret_cast<void*>(GetProcAddress(nt, "NtCreateSymbolicLinkObject")));
  auto open = reinterpret_cast<Open>(reinterpret_cast<void*>(GetProcAddress(nt, "NtOpenSymbolicLinkObject")));
  auto temporary = reinterpret_cast<Temporary>(reinterpret_cast<void*>(GetProcAddress(nt, "NtMakeTemporaryObject")));
  std::wstring name = L"\\??\\COM" + number, target = L"\\Device\\TastlinkTestCOM" + number;
  auto text = [](std::wstring& s) {
    return UNICODE_STRING{static_cast<USHORT>(s.size() * 2), static_cast<USHORT>(s.size() * 2), s.data()};
  };
  UNICODE_STRING nameText = text(name), targetText = text(target);
  OBJECT_ATTRIBUTES attr;
  InitializeObjectAttributes(&attr, &nameText, 0x40 | (define ? 0x10 : 0), nullptr, nullptr);
  HANDLE h = nullptr;
  if (define) {
    if (create(&h, 0xF0001, &attr, &targetText) < 0) return 1;
  } else {
    if (open(&h, DELETE, &attr) < 0) return 1;
    temporary(h);
  }
  CloseHandle(h);
  return 0;
}

// Waits (within `ms`) for what `find` looks for.
template <typename Find>
HWND waitFor(Find find, DWORD ms) {
  for (ULONGLONG end = GetTickCount64() + ms;; Sleep(50))
    if (HWND h = find(); h || GetTickCount64() > end) return h;
}

// Wine's notification area: each icon a window of its own, docked where
// the desktop has a tray, else in a tray window of wine's (its class named
// differently from one wine version to the next).
BOOL CALLBACK matchIcon(HWND h, LPARAM lp) {
  wchar_t cls[64] = {};
  GetClassNameW(h, cls, 64);
  const std::wstring name = cls;
  if ((name == L"__wine_tray_icon" || name == L"__winex11_tray_icon") && (GetWindowLongW(h, GWL_STYLE) & WS_VISIBLE)) {
    *reinterpret_cast<HWND*>(lp) = h;
    return FALSE;
  }
  return TRUE;
}

HWND findIcon() {
  HWND found = nullptr;
  EnumWindows(matchIcon, reinterpret_cast<LPARAM>(&found));
  for (const wchar_t* cls : {L"__winex11_standalone_tray", L"Shell_TrayWnd"})
    if (HWND tray = FindWindowW(cls, nullptr); tray && !found)
      EnumChildWindows(tray, matchIcon, reinterpret_cast<LPARAM>(&found));
  return found;
}

struct TipSearch {
  HWND icon, tip;
};

BOOL CALLBACK matchTip(HWND h, LPARAM lp) {
  auto& s = *reinterpret_cast<TipSearch*>(lp);
  wchar_t cls[64] = {};
  GetClassNameW(h, cls, 64);
  const HWND owner = GetWindow(h, GW_OWNER);
  if (std::wstring(cls) != TOOLTIPS_CLASSW || (owner != s.icon && owner != GetParent(s.icon))) return TRUE;
  s.tip = h;
  return FALSE;
}

// The tooltip the tray made for the icon (owned by it or by its tray).
HWND tipOf(HWND icon) {
  TipSearch s{icon, nullptr};
  EnumWindows(matchTip, reinterpret_cast<LPARAM>(&s));
  return s.tip;
}

// The tip's text as the tray holds it, shown or not. A tooltip's messages
// carry pointers, which the system does not carry across processes: the
// question is put in memory lent by the tray's own process.
std::wstring tipText(HWND tip) {
  DWORD pid = 0;
  GetWindowThreadProcessId(tip, &pid);
  HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
  if (!process) return {};
  wchar_t text[256] = {};
  auto* lent = static_cast<BYTE*>(
      VirtualAllocEx(process, nullptr, sizeof(TTTOOLINFOW) + sizeof text, MEM_COMMIT, PAGE_READWRITE));
  TTTOOLINFOW info{};
  info.cbSize = sizeof info;
  info.lpszText = reinterpret_cast<wchar_t*>(lent + sizeof info);
  DWORD_PTR answer = 0;
  if (lent && WriteProcessMemory(process, lent, &info, sizeof info, nullptr) &&
      WriteProcessMemory(process, lent + sizeof info, text, sizeof text, nullptr) &&
      SendMessageTimeoutW(tip, TTM_ENUMTOOLSW, 0, reinterpret_cast<LPARAM>(lent), SMTO_NORMAL, 10000, &answer) &&
      answer)
    ReadProcessMemory(process, lent + sizeof info, text, sizeof text - sizeof(wchar_t), nullptr);
  if (lent) VirtualFreeEx(process, lent, 0, MEM_RELEASE);
  CloseHandle(process);
  return text;
}

void click(POINT at, DWORD down, DWORD up) {
  moveTo(at);
  for (DWORD flags : {down, up}) {
    INPUT in{};
    in.type = INPUT_MOUSE;
    in.mi.dwFlags = flags;
    SendInput(1, &in, sizeof in);
    Sleep(50);
  }
}

POINT centre(HWND h) {
  RECT r;
  GetWindowRect(h, &r);
  return {(r.left + r.right) / 2, (r.top + r.bottom) / 2};
}

// Right-clicks at `at` and picks the menu's item by its mnemonic.
int pickFromMenu(POINT at, wchar_t letter) {
  click(at, MOUSEEVENTF_RIGHTDOWN, MOUSEEVENTF_RIGHTUP);
  if (!waitFor([] { HWND m = FindWindowW(L"#32768", nullptr); return m && IsWindowVisible(m) ? m : nullptr; }, 20000))
    return 1;
  const SHORT vk = VkKeyScanW(letter);
  sendKey(LOBYTE(vk), false);
  sendKey(LOBYTE(vk), true);
  parkPointer();  // off the window the menu uncovers
  return 0;
}

// Wine's own tray window (not one docked in the desktop's tray) to the
// screen's far corner: there it hides nothing, and no window hides it.
void moveTrayAside(HWND icon) {
  HWND tray = icon ? GetAncestor(icon, GA_ROOT) : nullptr;
  if (!tray || tray == icon) return;
  RECT r;
  GetWindowRect(tray, &r);
  const int x = GetSystemMetrics(SM_CXSCREEN) - (r.right - r.left);
  const int y = GetSystemMetrics(SM_CYSCREEN) - (r.bottom - r.top);
  // Sent, not posted: moved once this returns.
  SetWindowPos(tray, HWND_TOPMOST, x, y, 0, 0, SWP_NOSIZE | SWP_NOACTIVATE);
}

int trayCommand(const std::wstring& what, const wchar_t* letter) {
  HWND icon = findIcon();
  if (what == L"trayaside" || what == L"traymenu") moveTrayAside(icon);
  if (what == L"trayaside") return 0;
  if (what == L"tray") {
    const POINT at = icon ? centre(icon) : POINT{};
    std::printf("tray=%d\nshell=%d\nx=%ld\ny=%ld\n", icon ? 1 : 0, FindWindowW(L"Shell_TrayWnd", nullptr) ? 1 : 0,
                at.x, at.y);
    return 0;
  }
  if (!icon) return 1;
  if (what == L"tip") {
    HWND tip = tipOf(icon);
    if (!tip) return 1;
    std::printf("%s\n", utf8(tipText(tip)).c_str());
    return 0;
  }
  // traymenu: the menu opens on the right button's release, as Explorer's does.
  return pickFromMenu(centre(icon), letter ? *letter : L'b');
}

// The settings window's controls (its own, not their parts) as "ID=text",
// a check box as "ID=1" while ticked.
int settingsControls() {
  HWND dialog = FindWindowW(L"TastlinkEinstellungen", nullptr);
  if (!dialog || !IsWindowVisible(dialog)) return 1;
  for (HWND c = GetWindow(dialog, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
    wchar_t cls[16] = {}, text[256] = {};
    GetClassNameW(c, cls, 16);
    DWORD_PTR answer = 0;
    if ((GetWindowLongW(c, GWL_STYLE) & BS_TYPEMASK) == BS_AUTOCHECKBOX && std::wstring(cls) == L"Button") {
      SendMessageTimeoutW(c, BM_GETCHECK, 0, 0, SMTO_NORMAL, 10000, &answer);
      wcscpy(text, answer == BST_CHECKED ? L"1" : L"0");
    } else {
      SendMessageTimeoutW(c, WM_GETTEXT, 256, reinterpret_cast<LPARAM>(text), SMTO_NORMAL, 10000, &answer);
    }
    std::printf("%d=%s\n", GetDlgCtrlID(c), utf8(text).c_str());
  }
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring what = argc > 1 ? argv[1] : L"";
  if (what == L"shift") {
    std::printf("shift=%d\n", (GetAsyncKeyState(VK_SHIFT) & 0x8000) ? 1 : 0);
    return 0;
  }
  if (what == L"down") {
    std::string down;
    for (int vk = VK_LBUTTON; vk <= VK_OEM_CLEAR; ++vk)
      if (vk != VK_CANCEL && !(vk >= VK_LSHIFT && vk <= VK_RMENU) && (GetAsyncKeyState(vk) & 0x8000))
        down += (down.empty() ? "" : ",") + std::to_string(vk);
    std::printf("down=%s\n", down.c_str());
    return 0;
  }
  if (what == L"watch" || what == L"watchall")
    return watch(argc > 2 ? static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)) : 10000, what == L"watchall");
  if (what == L"box" || what == L"ok") {
    HWND box = findBox();
    if (!box) return 1;
    if (what == L"ok") {
      PostMessageW(box, WM_COMMAND, IDOK, 0);
      return 0;
    }
    // The message text is the static control 0xFFFF of the message box.
    wchar_t text[2048] = {};
    GetWindowTextW(GetDlgItem(box, 0xFFFF), text, 2048);
    std::printf("%s\n", utf8(text).c_str());
    return 0;
  }
  if (what == L"foreground") {
    wchar_t cls[64] = {}, title[64] = {};
    GetClassNameW(GetForegroundWindow(), cls, 64);
    GetWindowTextW(GetForegroundWindow(), title, 64);
    std::printf("%s|%s\n", utf8(cls).c_str(), utf8(title).c_str());
    return 0;
  }
  if (what == L"define" || what == L"undefine") return defineName(argc > 2 ? argv[2] : L"", what == L"define");
  if (what == L"names") {
    std::string names;
    for (int n = 1; n <= 16; ++n) {
      wchar_t target[512];
      if (QueryDosDeviceW((L"COM" + std::to_wstring(n)).c_str(), target, 512))
        names += (names.empty() ? "" : ",") + std::to_string(n);
      else if (GetLastError() != ERROR_FILE_NOT_FOUND)
        names += "(" + std::to_string(n) + ":" + std::to_string(GetLastError()) + ")";
    }
    std::printf("names=%s\n", names.c_str());
    return 0;
  }
  if (what == L"hold" && argc > 2) {
    HANDLE mark = CreateMutexW(nullptr, FALSE, (std::wstring(L"Local\\Tastlink.COM") + argv[2]).c_str());
    std::printf("held\n");
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    CloseHandle(mark);
    return 0;
  }
  if (what == L"tray" || what == L"tip" || what == L"traymenu" || what == L"trayaside")
    return trayCommand(what, argc > 2 ? argv[2] : nullptr);
  if (what == L"settings") return settingsControls();
  if (what == L"note") {
    HWND note = FindWindowW(L"TastlinkNote", L"Tastlink");
    if (!note || !IsWindowVisible(note)) return 1;
    wchar_t text[1024] = {};
    GetWindowTextW(GetDlgItem(note, 0xFFFF), text, 1024);
    std::printf("%s\n", utf8(text).c_str());
    return 0;
  }
  HWND main = FindWindowW(L"TastlinkForm1", L"Tastlink");
  if (!main) return 1;
  HWND combo = GetDlgItem(main, 103);
  DWORD_PTR result = 0;
  auto send = [&](UINT msg, WPARAM wp, LPARAM lp) {
    return SendMessageTimeoutW(main, msg, wp, lp, SMTO_NORMAL, 10000, &result) ? 0 : 1;
  };
  if (what == L"close") {
    for (HWND w = main; w; w = FindWindowExW(nullptr, w, L"TastlinkForm1", L"Tastlink")) PostMessageW(w, WM_CLOSE, 0, 0);
    return 0;
  }
  if (what == L"query") {
    const int r = send(WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF);
    std::printf("answer=%d\n", static_cast<int>(result));
    return r;
  }
  if (what == L"cancel") return send(WM_ENDSESSION, FALSE, ENDSESSION_LOGOFF);
  if (what == L"end") return PostMessageW(main, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF) ? 0 : 1;
  if (what == L"minimize") return PostMessageW(main, WM_SYSCOMMAND, SC_MINIMIZE, 0) ? 0 : 1;
  if (what == L"menu") {  // the window's own, right-clicked on the status line
    moveTrayAside(findIcon());
    SetForegroundWindow(main);
    const POINT at = centre(GetDlgItem(main, 101));
    if (GetAncestor(WindowFromPoint(at), GA_ROOT) != main) return 1;  // covered: nothing clicked
    return pickFromMenu(at, argc > 2 ? *argv[2] : L'e');
  }
  if (what == L"move") return PostMessageW(main, WM_SYSCOMMAND, SC_MOVE, 0) ? 0 : 1;
  if (what == L"crash") {
    DWORD pid = 0;
    GetWindowThreadProcessId(main, &pid);
    HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid);
    HANDLE thread = process ? CreateRemoteThread(process, nullptr, 0, nullptr, nullptr, 0, nullptr) : nullptr;
    if (thread) CloseHandle(thread);
    if (process) CloseHandle(process);
    return thread ? 0 : 1;
  }
  if (what == L"devchange" && argc > 3) {
    // The port's name follows the header, as in Windows' own broadcast.
    const std::wstring name = std::wstring(L"COM") + argv[3];
    std::vector<BYTE> buffer(sizeof(DEV_BROADCAST_PORT_W) + (name.size() + 1) * sizeof(wchar_t));
    auto* port = reinterpret_cast<DEV_BROADCAST_PORT_W*>(buffer.data());
    port->dbcp_size = static_cast<DWORD>(buffer.size());
    port->dbcp_devicetype = DBT_DEVTYP_PORT;
    std::wcscpy(port->dbcp_name, name.c_str());
    const WPARAM kind = std::wstring(argv[2]) == L"arrival" ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE;
    return send(WM_DEVICECHANGE, kind, reinterpret_cast<LPARAM>(port));
  }
  if (what == L"keys" || what == L"wheel") {
    // Keys go to whichever of its windows the program has active (a note).
    GUITHREADINFO active{};
    active.cbSize = sizeof active;
    GetGUIThreadInfo(GetWindowThreadProcessId(main, nullptr), &active);
    SetForegroundWindow(what == L"keys" && active.hwndActive ? active.hwndActive : main);
    Sleep(100);
    if (what == L"keys") {
      pressKeys(argc, argv);
      return 0;
    }
    RECT r;
    GetWindowRect(combo, &r);
    SetCursorPos((r.left + r.right) / 2, (r.top + r.bottom) / 2);
    Sleep(100);
    INPUT in{};
    in.type = INPUT_MOUSE;
    in.mi.dwFlags = MOUSEEVENTF_WHEEL;
    in.mi.mouseData = static_cast<DWORD>(-WHEEL_DELTA);
    SendInput(1, &in, sizeof in);
    Sleep(300);
    parkPointer();
    return 0;
  }
  // A window thread that does not answer makes this look fail, not hang.
  auto ask = [combo](UINT msg, WPARAM wp, LPARAM lp) {
    DWORD_PTR answer = 0;
    if (!SendMessageTimeoutW(combo, msg, wp, lp, SMTO_NORMAL, 10000, &answer)) std::exit(2);
    return static_cast<LRESULT>(answer);
  };
  const int count = static_cast<int>(ask(CB_GETCOUNT, 0, 0));
  std::string list;
  for (int i = 0; i < count; ++i) {
    wchar_t item[32] = {};
    ask(CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(item));
    list += (i ? "," : "") + utf8(item);
  }
  const int sel = static_cast<int>(ask(CB_GETCURSEL, 0, 0));
  wchar_t label[128] = {};
  GetWindowTextW(GetDlgItem(main, 101), label, 128);  // read, not sent: no answer needed
  GUITHREADINFO gui{};
  gui.cbSize = sizeof gui;
  GetGUIThreadInfo(GetWindowThreadProcessId(main, nullptr), &gui);
  int copies = 0;
  for (HWND w = main; w; w = FindWindowExW(nullptr, w, L"TastlinkForm1", L"Tastlink")) ++copies;
  std::printf("list=%s\nselected=%d\nvisible=%d\nlabel=%s\nfocus=%d\nmoving=%d\niconic=%d\nforeground=%d\ncopies=%d\n",
              list.c_str(), sel, IsWindowVisible(main) ? 1 : 0, utf8(label).c_str(),
              gui.hwndFocus ? GetDlgCtrlID(gui.hwndFocus) : 0, (gui.flags & GUI_INMOVESIZE) ? 1 : 0,
              IsIconic(main) ? 1 : 0, GetForegroundWindow() == main ? 1 : 0, copies);
  return 0;
}

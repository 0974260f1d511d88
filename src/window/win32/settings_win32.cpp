#include "window/win32/settings_win32.h"

#include <algorithm>

#include "serial/mscomm.h"
#include "window/win32/text.h"

namespace tl::window_win32 {

namespace {

constexpr wchar_t kClassName[] = L"TastlinkEinstellungen";
constexpr int kRowBase = 1000, kRowStep = 20;  // + 0 line, 1 key, 2 mode, 3 invert, 4 debounce, 5 detect, 6 hint
constexpr int kIdPort = 1200, kIdMinimized = 1201, kIdWait = 1202, kIdAutostart = 1203, kIdTray = 1204,
              kIdTrayHint = 1205, kIdLamp = 1210, kIdNote = 1220, kIdApply = 1230;
constexpr uint8_t kLineOf[] = {0, lines::CTS, lines::DSR, lines::DCD, lines::RI};
constexpr const wchar_t* kLineNames[] = {L"CTS", L"DSR", L"DCD", L"RI"};
constexpr UINT_PTR kLampTimer = 1;

int rowId(int row, int part) { return kRowBase + row * kRowStep + part; }

int checkId(Check which) {
  switch (which) {
    case Check::Minimized: return kIdMinimized;
    case Check::WaitForPort: return kIdWait;
    case Check::Autostart: return kIdAutostart;
    case Check::Tray: break;
  }
  return kIdTray;
}

int lampIndex(uint8_t line) {
  for (int i = 0; i < 4; ++i)
    if (kLineOf[i + 1] == line) return i;
  return 0;
}

// A typed list's text: its entry where it has one, so that the arrow keys
// go on from there.
void showText(HWND list, const std::string& text) {
  const std::wstring w = widen(text);
  const LRESULT i = SendMessageW(list, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(w.c_str()));
  SendMessageW(list, CB_SETCURSEL, static_cast<WPARAM>(i), 0);
  if (i == CB_ERR) SetWindowTextW(list, w.c_str());
}

std::wstring textOf(HWND h) {
  std::wstring s(static_cast<size_t>(GetWindowTextLengthW(h)) + 1, L'\0');
  s.resize(static_cast<size_t>(GetWindowTextW(h, s.data(), static_cast<int>(s.size()))));
  return s;
}

}  // namespace

Win32Settings::Win32Settings(HINSTANCE instance, HWND owner, UINT dpi) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = WndProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = kClassName;
  RegisterClassExW(&wc);
  auto px = [dpi](int v) { return MulDiv(v, static_cast<int>(dpi), 96); };
  RECT r{0, 0, px(520), px(494)};
  constexpr DWORD kStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU;
  AdjustWindowRectEx(&r, kStyle, FALSE, WS_EX_DLGMODALFRAME);
  hwnd_ = CreateWindowExW(WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT, kClassName, L"Tastlink - Einstellungen", kStyle,
                          CW_USEDEFAULT, CW_USEDEFAULT, r.right - r.left, r.bottom - r.top, owner, nullptr, instance,
                          this);
  LOGFONTW lf{};
  GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof lf, &lf);
  HDC screen = GetDC(nullptr);
  lf.lfHeight = MulDiv(lf.lfHeight, static_cast<int>(dpi), GetDeviceCaps(screen, LOGPIXELSY));
  ReleaseDC(nullptr, screen);
  font_ = CreateFontIndirectW(&lf);
  on_ = CreateSolidBrush(RGB(0x2e, 0x9d, 0x3a));
  off_ = CreateSolidBrush(RGB(0xd0, 0xd0, 0xd0));

  // Creation order is tab order, and each label comes right before the
  // control it names.
  auto make = [&](const wchar_t* cls, const wchar_t* text, DWORD style, int id, int x, int y, int w, int h) {
    HWND c = CreateWindowExW(0, cls, text, WS_CHILD | WS_VISIBLE | style, px(x), px(y), px(w), px(h), hwnd_,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
    SendMessageW(c, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    return c;
  };
  const DWORD label = SS_LEFT | SS_CENTERIMAGE, list = WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST,
              typed = WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWN | CBS_AUTOHSCROLL,
              box = WS_TABSTOP | BS_AUTOCHECKBOX, button = WS_TABSTOP | BS_PUSHBUTTON;
  for (int i = 0; i < kRows; ++i) {
    const int y = 8 + i * 74;
    make(L"BUTTON", (L"Schalter &" + std::to_wstring(i + 1)).c_str(), BS_GROUPBOX, -1, 8, y, 504, 68);
    make(L"STATIC", L"&Leitung:", label, -1, 16, y + 18, 50, 22);
    HWND line = make(L"COMBOBOX", L"", list | WS_GROUP, rowId(i, 0), 68, y + 18, 110, 200);
    SendMessageW(line, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"\u2013 (kein Schalter)"));
    for (const wchar_t* n : kLineNames) SendMessageW(line, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(n));
    make(L"STATIC", L"&Taste:", label, -1, 186, y + 18, 40, 22);
    make(L"COMBOBOX", L"", typed, rowId(i, 1), 228, y + 18, 100, 300);
    make(L"STATIC", L"&Betriebsart:", label, -1, 336, y + 18, 66, 22);
    HWND mode = make(L"COMBOBOX", L"", list, rowId(i, 2), 404, y + 18, 100, 200);
    SendMessageW(mode, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"halten"));
    SendMessageW(mode, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"umschalten"));
    make(L"BUTTON", L"Ö&ffner", box, rowId(i, 3), 16, y + 44, 70, 20);
    make(L"STATIC", L"&Entprellung (ms):", label, -1, 92, y + 44, 96, 20);
    make(L"EDIT", L"0", WS_TABSTOP | WS_BORDER | ES_NUMBER | ES_AUTOHSCROLL, rowId(i, 4), 190, y + 44, 50, 20);
    make(L"BUTTON", L"Schalter e&rkennen", button, rowId(i, 5), 250, y + 42, 110, 23);
    make(L"STATIC", L"", SS_LEFT | SS_NOPREFIX, rowId(i, 6), 368, y + 42, 140, 24);
  }
  make(L"BUTTON", L"Allgemein", BS_GROUPBOX, -1, 8, 304, 504, 94);
  make(L"STATIC", L"&Start-Anschluss:", label, -1, 16, 322, 90, 22);
  make(L"COMBOBOX", L"", typed | WS_GROUP, kIdPort, 108, 322, 200, 300);
  make(L"BUTTON", L"&Minimiert starten", box, kIdMinimized, 16, 348, 150, 20);
  make(L"BUTTON", L"Auf &Adapter warten", box, kIdWait, 176, 348, 150, 20);
  make(L"BUTTON", L"Mit der Sit&zung starten", box, kIdAutostart, 336, 348, 170, 20);
  make(L"BUTTON", L"In den &Infobereich minimieren", box, kIdTray, 16, 372, 200, 20);
  make(L"STATIC", L"", SS_LEFT | SS_NOPREFIX, kIdTrayHint, 220, 370, 290, 26);
  make(L"STATIC", L"Leitungen:", label | SS_NOPREFIX, -1, 8, 406, 80, 20);
  for (int i = 0; i < 4; ++i) make(L"STATIC", L"", SS_CENTER | SS_CENTERIMAGE | SS_NOPREFIX, kIdLamp + i, 90 + i * 78, 406, 70, 20);
  make(L"STATIC", L"", SS_LEFT | SS_NOPREFIX, kIdNote, 8, 430, 504, 28);
  make(L"BUTTON", L"&OK", WS_TABSTOP | BS_DEFPUSHBUTTON | WS_GROUP, IDOK, 272, 462, 75, 23);
  make(L"BUTTON", L"Abbre&chen", button, IDCANCEL, 354, 462, 75, 23);
  make(L"BUTTON", L"&Übernehmen", button, kIdApply, 436, 462, 75, 23);
  for (int i = 0; i < 4; ++i) setLamp(kLineOf[i + 1], false);
}

Win32Settings::~Win32Settings() {
  if (IsWindow(hwnd_)) DestroyWindow(hwnd_);
  for (HGDIOBJ o : {static_cast<HGDIOBJ>(font_), static_cast<HGDIOBJ>(on_), static_cast<HGDIOBJ>(off_)})
    if (o) DeleteObject(o);
}

void Win32Settings::setKeyChoices(const std::vector<std::string>& names) {
  for (int i = 0; i < kRows; ++i) {
    HWND c = item(rowId(i, 1));
    SendMessageW(c, CB_RESETCONTENT, 0, 0);
    for (const std::string& n : names) SendMessageW(c, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(widen(n).c_str()));
  }
}

void Win32Settings::setRow(int row, const SwitchRow& v) {
  int line = 0;
  for (int i = 0; i < 5; ++i)
    if (kLineOf[i] == v.line) line = i;
  SendMessageW(item(rowId(row, 0)), CB_SETCURSEL, line, 0);
  showText(item(rowId(row, 1)), v.key);
  SendMessageW(item(rowId(row, 2)), CB_SETCURSEL, v.toggle ? 1 : 0, 0);
  SendMessageW(item(rowId(row, 3)), BM_SETCHECK, v.invert ? BST_CHECKED : BST_UNCHECKED, 0);
  SetWindowTextW(item(rowId(row, 4)), std::to_wstring(v.debounceMs).c_str());
}

SwitchRow Win32Settings::row(int row) const {
  const LRESULT line = SendMessageW(item(rowId(row, 0)), CB_GETCURSEL, 0, 0);
  const std::wstring debounce = textOf(item(rowId(row, 4)));
  return {kLineOf[line > 0 && line < 5 ? line : 0], narrow(textOf(item(rowId(row, 1)))),
          SendMessageW(item(rowId(row, 2)), CB_GETCURSEL, 0, 0) == 1,
          SendMessageW(item(rowId(row, 3)), BM_GETCHECK, 0, 0) == BST_CHECKED,
          debounce.empty() || debounce.size() > 6 ? -1 : std::stoi(debounce)};
}

void Win32Settings::setPortChoices(const std::vector<std::string>& choices) {
  HWND c = item(kIdPort);
  SendMessageW(c, CB_RESETCONTENT, 0, 0);
  for (const std::string& s : choices) SendMessageW(c, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(widen(s).c_str()));
}

void Win32Settings::setPort(const std::string& text) { showText(item(kIdPort), text); }

std::string Win32Settings::port() const { return narrow(textOf(item(kIdPort))); }

void Win32Settings::setCheck(Check which, bool on) {
  SendMessageW(item(checkId(which)), BM_SETCHECK, on ? BST_CHECKED : BST_UNCHECKED, 0);
}

bool Win32Settings::check(Check which) const {
  return SendMessageW(item(checkId(which)), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void Win32Settings::setLamp(uint8_t line, bool on) {
  const int i = lampIndex(line);
  const std::wstring text = std::wstring(kLineNames[i]) + (on ? L" an" : L" aus");
  if (textOf(item(kIdLamp + i)) == text) return;
  lamps_[i] = on;
  SetWindowTextW(item(kIdLamp + i), text.c_str());
}

void Win32Settings::setDetectHint(int row, const std::string& text) {
  SetWindowTextW(item(rowId(row, 6)), widen(text).c_str());
}

void Win32Settings::setTrayHint(const std::string& text) { SetWindowTextW(item(kIdTrayHint), widen(text).c_str()); }

void Win32Settings::setOverrideNote(const std::string& text) { SetWindowTextW(item(kIdNote), widen(text).c_str()); }

void Win32Settings::showError(const std::string& text) {
  MessageBoxW(hwnd_, widen(text).c_str(), L"Tastlink - Einstellungen", MB_OK | MB_ICONWARNING);
}

void Win32Settings::closeWindow() {
  KillTimer(hwnd_, kLampTimer);
  ShowWindow(hwnd_, SW_HIDE);
}

void Win32Settings::show() {
  const bool opening = !visible();
  if (opening) {
    SetTimer(hwnd_, kLampTimer, 30, nullptr);
    // Beside the main window's corner, where the eye already is, but
    // within the screen: at 144 dpi the window is taller than a small
    // screen's room below the main window, and OK would be out of reach.
    RECT owner{}, self{};
    GetWindowRect(GetWindow(hwnd_, GW_OWNER), &owner);
    GetWindowRect(hwnd_, &self);
    MONITORINFO screen{};
    screen.cbSize = sizeof screen;
    GetMonitorInfoW(MonitorFromRect(&owner, MONITOR_DEFAULTTONEAREST), &screen);
    const RECT& room = screen.rcWork;
    const LONG w = self.right - self.left, h = self.bottom - self.top;
    const LONG x = std::max(room.left, std::min(owner.left + 40, room.right - w));
    const LONG y = std::max(room.top, std::min(owner.top + 40, room.bottom - h));
    SetWindowPos(hwnd_, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  ShowWindow(hwnd_, SW_SHOW);
  SetForegroundWindow(hwnd_);
  if (opening) SetFocus(item(rowId(0, 0)));
}

LRESULT CALLBACK Win32Settings::WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE)
    SetWindowLongPtrW(hwnd, GWLP_USERDATA,
                      reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams));
  auto* self = reinterpret_cast<Win32Settings*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (!self || !self->hwnd_) return DefWindowProcW(hwnd, msg, wp, lp);
  return self->handle(msg, wp, lp);
}

LRESULT Win32Settings::handle(UINT msg, WPARAM wp, LPARAM lp) {
  auto call = [](const std::function<void()>& f) {
    if (f) f();
    return 0;
  };
  switch (msg) {
    case WM_COMMAND: {
      const int id = LOWORD(wp);
      // A typed field reached with Tab is typed over, as in any dialog: the
      // list keeps its caret from the last time otherwise, and "Ctrl" typed
      // into "Shift" would read "CtrlShift".
      if (HIWORD(wp) == CBN_SETFOCUS) {
        SendMessageW(reinterpret_cast<HWND>(lp), CB_SETEDITSEL, 0, MAKELPARAM(0, -1));
        return 0;
      }
      if (id == IDOK) return call(onOk);
      if (id == IDCANCEL) return call(onCancel);
      if (id == kIdApply) return call(onApply);
      if (id >= kRowBase && id < kRowBase + kRows * kRowStep && (id - kRowBase) % kRowStep == 5 && onDetect)
        onDetect((id - kRowBase) / kRowStep);
      return 0;
    }
    case WM_NEXTDLGCTL: {
      // A label's mnemonic moves the focus through this message, which
      // only a dialog's own window procedure answers: Alt+T would do
      // nothing here otherwise. A field so reached is typed over.
      HWND next = LOWORD(lp) ? reinterpret_cast<HWND>(wp) : GetNextDlgTabItem(hwnd_, GetFocus(), wp != 0);
      if (!next) return 0;
      SetFocus(next);
      if (SendMessageW(next, WM_GETDLGCODE, 0, 0) & DLGC_HASSETSEL) SendMessageW(next, EM_SETSEL, 0, -1);
      return 0;
    }
    case WM_TIMER:
      return call(onTick);
    case WM_CTLCOLORSTATIC: {
      const int id = GetDlgCtrlID(reinterpret_cast<HWND>(lp));
      if (id < kIdLamp || id >= kIdLamp + 4) break;
      const bool on = lamps_[id - kIdLamp];
      auto dc = reinterpret_cast<HDC>(wp);
      SetBkColor(dc, on ? RGB(0x2e, 0x9d, 0x3a) : RGB(0xd0, 0xd0, 0xd0));
      SetTextColor(dc, on ? RGB(255, 255, 255) : RGB(0, 0, 0));
      return reinterpret_cast<LRESULT>(on ? on_ : off_);
    }
    case WM_CLOSE:
      return call(onCancel);
  }
  return DefWindowProcW(hwnd_, msg, wp, lp);
}

}  // namespace tl::window_win32

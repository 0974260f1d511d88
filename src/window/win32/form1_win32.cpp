#include "window/win32/form1_win32.h"

#include <dbt.h>
#include <windowsx.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "window/layout.h"
#include "window/win32/text.h"

namespace tl::window_win32 {

namespace {

const wchar_t kClassName[] = L"TastlinkForm1";
const wchar_t kNoteClassName[] = L"TastlinkNote";
// The device interface class of COM ports (GUID_DEVINTERFACE_COMPORT), here
// so that no import library is needed for it.
constexpr GUID kComPortInterface = {0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};
constexpr UINT_PTR kTimerDevices = 1;
constexpr UINT kSysSettings = 0x0100;  // the system menu's item: below 0xF000, low four bits clear
// A device brings several messages (its node, its interface, its port):
// the ports are looked at once, after the burst.
constexpr UINT kDeviceSettleMs = 200;
constexpr int kComboInset = 1;  // pixels between an entry's text and its box

// GetDpiForWindow exists from Windows 10 1607 on; before it, the screen's
// density is the window's.
UINT windowDpi(HWND hwnd) {
  using Fn = UINT(WINAPI*)(HWND);
  static const auto fn =
      reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
  if (fn && hwnd) return fn(hwnd);
  HDC dc = GetDC(nullptr);
  const UINT dpi = static_cast<UINT>(GetDeviceCaps(dc, LOGPIXELSX));
  ReleaseDC(nullptr, dc);
  return dpi ? dpi : 96;
}

UINT systemDpi() { return windowDpi(nullptr); }

constexpr DWORD kFrameStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;

struct Fit {
  std::wstring text;
  int pixels;
};

// Steps the font down until every text fits its width, but not below
// `floorPx` pixels high.
HFONT fitFont(HWND hwnd, LOGFONTW lf, const std::vector<Fit>& fits, int floorPx) {
  HFONT font = nullptr;
  HDC dc = GetDC(hwnd);
  for (;;) {
    if (font) DeleteObject(font);
    font = CreateFontIndirectW(&lf);
    HGDIOBJ old = SelectObject(dc, font);
    bool ok = true;
    for (const Fit& f : fits) {
      SIZE sz{};
      GetTextExtentPoint32W(dc, f.text.c_str(), static_cast<int>(f.text.size()), &sz);
      ok = ok && sz.cx <= f.pixels;
    }
    SelectObject(dc, old);
    if (ok || std::abs(lf.lfHeight) <= floorPx) break;
    lf.lfHeight += lf.lfHeight < 0 ? 1 : -1;
  }
  ReleaseDC(hwnd, dc);
  return font;
}

// The COM port a device message names ("COM3" after a port's header), or
// 0. The message comes from anywhere in the system: its sizes are checked
// before its name is read.
int16_t namedPort(WPARAM wp, LPARAM lp) {
  const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lp);
  if ((wp != DBT_DEVICEARRIVAL && wp != DBT_DEVICEREMOVECOMPLETE) || !header ||
      header->dbch_devicetype != DBT_DEVTYP_PORT || header->dbch_size <= offsetof(DEV_BROADCAST_PORT_W, dbcp_name))
    return 0;
  const auto* port = reinterpret_cast<const DEV_BROADCAST_PORT_W*>(lp);
  const size_t chars = (header->dbch_size - offsetof(DEV_BROADCAST_PORT_W, dbcp_name)) / sizeof(wchar_t);
  const std::wstring name(port->dbcp_name, wcsnlen(port->dbcp_name, chars));
  if (name.size() < 4 || name.size() > 6 || _wcsnicmp(name.c_str(), L"COM", 3) != 0) return 0;
  int n = 0;
  for (size_t i = 3; i < name.size(); ++i) {
    if (name[i] < L'0' || name[i] > L'9') return 0;
    n = n * 10 + (name[i] - L'0');
  }
  return static_cast<int16_t>(n > 0 && n <= 256 ? n : 0);
}

}  // namespace

int twipsToPixels(int twips, UINT dpi) { return layout::twipsToPixels(twips, dpi); }

RECT frameFor(int width, int height, DWORD style, UINT dpi) {
  RECT r{0, 0, width, height};
  // Windows 10 1607 and later; looked up, so that the program still starts
  // on Windows 7, where every monitor has the system's density anyway.
  using ForDpi = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
  static const auto forDpi =
      reinterpret_cast<ForDpi>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "AdjustWindowRectExForDpi")));
  if (!forDpi || !forDpi(&r, style, FALSE, 0, dpi)) AdjustWindowRectEx(&r, style, FALSE, 0);
  return r;
}

Win32Form1::Win32Form1(HINSTANCE instance) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = WndProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
  wc.lpszClassName = kClassName;
  RegisterClassExW(&wc);
  wc.lpfnWndProc = NoteProc;
  wc.hIcon = nullptr;
  wc.lpszClassName = kNoteClassName;
  RegisterClassExW(&wc);

  hwnd_ = CreateWindowExW(0, kClassName, L"Tastlink", kFrameStyle, CW_USEDEFAULT, CW_USEDEFAULT, 100, 100,
                          nullptr, nullptr, instance, this);
  // Creation order is tab order: the text field first, then the list; the
  // labels take no focus.
  auto make = [&](const wchar_t* cls, const wchar_t* text, DWORD style, DWORD exStyle, int id) {
    CreateWindowExW(exStyle, cls, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 10, 10, hwnd_,
                    reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
  };
  make(L"EDIT", L"", WS_TABSTOP | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN, WS_EX_CLIENTEDGE,
       kIdText1);
  make(L"COMBOBOX", L"", WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST | CBS_OWNERDRAWFIXED | CBS_HASSTRINGS, 0,
       kIdCombo1);
  make(L"STATIC", L"", SS_LEFTNOWORDWRAP | SS_NOPREFIX, 0, kIdLabel1);
  make(L"STATIC", widen(layout::kPortCaption).c_str(), SS_LEFTNOWORDWRAP | SS_NOPREFIX, 0, kIdLabel2);
  make(L"STATIC", widen(layout::kWiringHint).c_str(), SS_LEFTNOWORDWRAP | SS_NOPREFIX, 0, kIdLabel3);
  auto subclass = [&](int id) {
    return reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(control(id), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ControlProc)));
  };
  // Classic Win32 tools put their own items in the system menu (Alt+Space).
  HMENU system = GetSystemMenu(hwnd_, FALSE);
  AppendMenuW(system, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(system, MF_STRING, kSysSettings, L"&Einstellungen…\tStrg+,");
  editProc_ = subclass(kIdText1);
  comboProc_ = subclass(kIdCombo1);
  layout(windowDpi(hwnd_));
}

Win32Form1::~Win32Form1() {
  if (deviceNotify_) UnregisterDeviceNotification(deviceNotify_);
  if (IsWindow(hwnd_)) DestroyWindow(hwnd_);
  if (font_) DeleteObject(font_);
  if (comboFont_) DeleteObject(comboFont_);
}

void Win32Form1::layout(UINT dpi) {
  dpi_ = dpi;
  // The system's dialog font (MS Shell Dlg, 8 points), at this window's
  // density: the font the layout's boxes were made for.
  LOGFONTW lf{};
  GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof lf, &lf);
  lf.lfHeight = MulDiv(lf.lfHeight, static_cast<int>(dpi), static_cast<int>(systemDpi()));
  // Where that font is wider than the one the boxes were made for, step it
  // down until every text fits its box.
  auto px = [dpi](int twips) { return twipsToPixels(twips, dpi); };
  std::vector<Fit> fits;
  for (const layout::Fit& f : layout::kFits) fits.push_back({widen(f.text), px(f.twips)});
  HFONT font = fitFont(hwnd_, lf, fits, MulDiv(9, static_cast<int>(dpi), 96));

  const RECT r = frameFor(twipsToPixels(layout::kClientWidth, dpi), twipsToPixels(layout::kClientHeight, dpi),
                          kFrameStyle, dpi);
  SetWindowPos(hwnd_, nullptr, 0, 0, r.right - r.left, r.bottom - r.top, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);

  struct Place {
    int id;
    layout::Box box;
  };
  const Place places[] = {{kIdLabel1, layout::kLabel1}, {kIdLabel2, layout::kLabel2}, {kIdCombo1, layout::kCombo1},
                          {kIdText1, layout::kText1},   {kIdLabel3, layout::kLabel3}};
  for (const Place& p : places) {
    HWND c = control(p.id);
    SendMessageW(c, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    int height = px(p.box.height);
    // A combo box's window height includes its drop-down list.
    if (p.id == kIdCombo1) height += px(16 * 225);
    MoveWindow(c, px(p.box.left), px(p.box.top), px(p.box.width), height, TRUE);
  }
  fitComboFont(lf);
  // The closed box should be as tall as the table says. Combo boxes only
  // take an item height, and some (wine's) step past a pixel count, so take
  // the tallest that does not exceed it.
  HWND combo = control(kIdCombo1);
  const int want = twipsToPixels(315, dpi);
  auto closedHeight = [&] {
    RECT cr;
    GetWindowRect(combo, &cr);
    return static_cast<int>(cr.bottom - cr.top);
  };
  auto setItem = [&](LRESULT h) { SendMessageW(combo, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), h); };
  LRESULT item = SendMessageW(combo, CB_GETITEMHEIGHT, static_cast<WPARAM>(-1), 0);
  while (item > 4 && closedHeight() > want) setItem(--item);
  for (int step = 0; step < 8 && closedHeight() < want; ++step) {
    setItem(item + 1);
    if (closedHeight() > want) {
      setItem(item);
      break;
    }
    ++item;
  }
  if (font_) DeleteObject(font_);
  font_ = font;
}

void Win32Form1::fitComboFont(const LOGFONTW& lf) {
  // The closed list is 495 twips wide, most of it arrow button: at 96 dpi
  // the dialog font shows "16" as "1(". The list draws its entries itself,
  // without the control's padding, in a font stepped down until two digits
  // fit the box.
  HWND combo = control(kIdCombo1);
  COMBOBOXINFO info{};
  info.cbSize = sizeof info;
  GetComboBoxInfo(combo, &info);
  const int room = info.rcItem.right - info.rcItem.left - 2 * kComboInset;
  HFONT font = fitFont(hwnd_, lf, {{L"10", room}, {L"16", room}}, MulDiv(7, static_cast<int>(dpi_), 96));
  SendMessageW(combo, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  if (comboFont_) DeleteObject(comboFont_);
  comboFont_ = font;
}

void Win32Form1::drawComboItem(const DRAWITEMSTRUCT& d) {
  const bool selected = d.itemState & ODS_SELECTED;
  SetBkColor(d.hDC, GetSysColor(selected ? COLOR_HIGHLIGHT : COLOR_WINDOW));
  SetTextColor(d.hDC, GetSysColor(selected ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT));
  ExtTextOutW(d.hDC, 0, 0, ETO_OPAQUE, &d.rcItem, nullptr, 0, nullptr);
  if (d.itemID != static_cast<UINT>(-1)) {
    const std::wstring text = widen(comboItem(static_cast<int>(d.itemID)));
    RECT r = d.rcItem;
    r.left += kComboInset;
    HGDIOBJ old = SelectObject(d.hDC, comboFont_);
    DrawTextW(d.hDC, text.c_str(), static_cast<int>(text.size()), &r, DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX);
    SelectObject(d.hDC, old);
  }
  if ((d.itemState & ODS_FOCUS) && !(d.itemState & ODS_NOFOCUSRECT)) DrawFocusRect(d.hDC, &d.rcItem);
}

void Win32Form1::setLabel1Caption(const std::string& text) { setLabel1Shortened(text, text); }

void Win32Form1::setLabel1Shortened(const std::string& shown, const std::string& whole) {
  SetWindowTextW(control(kIdLabel1), widen(shown).c_str());
  if (onStatus) onStatus(whole);  // the tray's tooltip has room for the whole
}

bool Win32Form1::label1Fits(const std::string& text) const {
  HWND label = control(kIdLabel1);
  RECT room{};
  GetClientRect(label, &room);
  HDC dc = GetDC(label);
  const HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(label, WM_GETFONT, 0, 0)));
  const std::wstring w = widen(text);
  SIZE size{};
  GetTextExtentPoint32W(dc, w.c_str(), static_cast<int>(w.size()), &size);
  SelectObject(dc, old);
  ReleaseDC(label, dc);
  return size.cx <= room.right - room.left;
}

// The list keeps showing the entry it showed, and a choice given up goes
// back to the entry of the port in use, wherever entries come and go.
void Win32Form1::comboInsertItem(int index, const std::string& text) {
  HWND c = control(kIdCombo1);
  const int shown = static_cast<int>(SendMessageW(c, CB_GETCURSEL, 0, 0));
  SendMessageW(c, CB_INSERTSTRING, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(widen(text).c_str()));
  if (committed_ >= index) ++committed_;
  SendMessageW(c, CB_SETCURSEL, shown >= index ? shown + 1 : shown, 0);
}

void Win32Form1::comboRemoveItem(int index) {
  HWND c = control(kIdCombo1);
  const int shown = static_cast<int>(SendMessageW(c, CB_GETCURSEL, 0, 0));
  SendMessageW(c, CB_DELETESTRING, index, 0);
  auto after = [index](int i) { return i == index ? -1 : i > index ? i - 1 : i; };
  committed_ = after(committed_);
  SendMessageW(c, CB_SETCURSEL, after(shown), 0);
}

void Win32Form1::showNote(const std::string& text) {
  // Shown once the handler that asked for it is done: by then the list has
  // closed and the focus is back in the text field, which the note gives
  // the focus back to when it goes.
  noteText_ = widen(text);
  PostMessageW(hwnd_, kMsgShowNote, 0, 0);
}

// A message box that stops nothing: owned by the window, so it stays in
// front of it and goes with it, and the window goes on working meanwhile.
void Win32Form1::openNote() {
  if (note_) DestroyWindow(note_);
  const auto px = [this](int v) { return MulDiv(v, static_cast<int>(dpi_), 96); };
  HDC dc = GetDC(hwnd_);
  HGDIOBJ old = SelectObject(dc, font_);
  RECT text{0, 0, px(300), 0};
  DrawTextW(dc, noteText_.c_str(), -1, &text, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
  SelectObject(dc, old);
  ReleaseDC(hwnd_, dc);
  const int margin = px(11), icon = px(32), buttonW = px(75), buttonH = px(23);
  const int textLeft = margin + icon + margin;
  const int bodyH = std::max<int>(icon, text.bottom);
  RECT r{0, 0, std::max<int>(textLeft + text.right + margin, buttonW + 2 * margin), margin + bodyH + margin + buttonH + margin};
  constexpr DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU, exStyle = WS_EX_DLGMODALFRAME;
  AdjustWindowRectEx(&r, style, FALSE, exStyle);
  // Centred on the window, which is smaller than the note: kept on the
  // window's screen.
  RECT owner;
  GetWindowRect(hwnd_, &owner);
  MONITORINFO screen{};
  screen.cbSize = sizeof screen;
  GetMonitorInfoW(MonitorFromWindow(hwnd_, MONITOR_DEFAULTTONEAREST), &screen);
  const RECT& work = screen.rcWork;
  const int w = r.right - r.left, h = r.bottom - r.top;
  const int x = std::max<int>(work.left, std::min<int>((owner.left + owner.right - w) / 2, work.right - w));
  const int y = std::max<int>(work.top, std::min<int>((owner.top + owner.bottom - h) / 2, work.bottom - h));
  const auto instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(hwnd_, GWLP_HINSTANCE));
  note_ = CreateWindowExW(exStyle, kNoteClassName, L"Tastlink", style, x, y, w, h, hwnd_, nullptr, instance, this);
  if (!note_) return;
  auto child = [&](const wchar_t* cls, const wchar_t* caption, DWORD st, int id, int left, int top, int cx, int cy) {
    HWND c = CreateWindowExW(0, cls, caption, WS_CHILD | WS_VISIBLE | st, left, top, cx, cy, note_,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
    SendMessageW(c, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    return c;
  };
  HWND picture = child(L"STATIC", nullptr, SS_ICON, -1, margin, margin, icon, icon);
  SendMessageW(picture, STM_SETICON, reinterpret_cast<WPARAM>(LoadIconW(nullptr, IDI_INFORMATION)), 0);
  child(L"STATIC", noteText_.c_str(), SS_LEFT | SS_NOPREFIX, kIdNoteText, textLeft, margin, text.right, text.bottom);
  RECT client;
  GetClientRect(note_, &client);
  child(L"BUTTON", L"OK", WS_TABSTOP | BS_DEFPUSHBUTTON, IDOK, (client.right - buttonW) / 2,
        client.bottom - margin - buttonH, buttonW, buttonH);
  ShowWindow(note_, SW_SHOW);
}

LRESULT CALLBACK Win32Form1::NoteProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE)
    SetWindowLongPtrW(h, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams));
  auto* self = reinterpret_cast<Win32Form1*>(GetWindowLongPtrW(h, GWLP_USERDATA));
  switch (msg) {
    case WM_COMMAND:
      // OK, Enter, Esc and Space on the button all close it.
      if (LOWORD(wp) == IDOK || LOWORD(wp) == IDCANCEL) DestroyWindow(h);
      return 0;
    case WM_SETFOCUS:
      SetFocus(GetDlgItem(h, IDOK));
      return 0;
    case WM_DESTROY:
      if (self && self->note_ == h) self->note_ = nullptr;
      return 0;
  }
  return DefWindowProcW(h, msg, wp, lp);
}

void Win32Form1::watchDevices(std::function<void(const NamedPorts&)> onChange) {
  onDevicesChanged_ = std::move(onChange);
  // Windows tells every top-level window about new and gone devices in
  // general; COM port interfaces only to the windows that ask.
  DEV_BROADCAST_DEVICEINTERFACE_W filter{};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = kComPortInterface;
  if (!deviceNotify_) deviceNotify_ = RegisterDeviceNotificationW(hwnd_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}

void Win32Form1::comboAddItem(const std::string& text) {
  SendMessageW(control(kIdCombo1), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(widen(text).c_str()));
}

int Win32Form1::comboListCount() const {
  return static_cast<int>(SendMessageW(control(kIdCombo1), CB_GETCOUNT, 0, 0));
}

std::string Win32Form1::comboItem(int index) const {
  HWND c = control(kIdCombo1);
  const LRESULT len = SendMessageW(c, CB_GETLBTEXTLEN, index, 0);
  if (len == CB_ERR) return {};
  std::wstring s(static_cast<size_t>(len) + 1, L'\0');
  SendMessageW(c, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(s.data()));
  s.resize(static_cast<size_t>(len));
  return narrow(s);
}

void Win32Form1::comboShowSelection(int index) {
  committed_ = index;
  SendMessageW(control(kIdCombo1), CB_SETCURSEL, index, 0);
}

std::string Win32Form1::comboText() const {
  const int sel = static_cast<int>(SendMessageW(control(kIdCombo1), CB_GETCURSEL, 0, 0));
  return sel == CB_ERR ? std::string() : comboItem(sel);
}

void Win32Form1::text1SetFocus() { SetFocus(control(kIdText1)); }

void Win32Form1::Show(int showCommand) {
  lastFocus_ = control(kIdText1);
  ShowWindow(hwnd_, showCommand);
  UpdateWindow(hwnd_);
  SetFocus(lastFocus_);
}

void Win32Form1::after(int ms, std::function<void()> task) {
  const UINT_PTR id = nextTimer_++;
  if (nextTimer_ == 0) nextTimer_ = 100;
  timers_[id] = std::move(task);
  SetTimer(hwnd_, id, static_cast<UINT>(ms), nullptr);
}

void Win32Form1::post(std::function<void()> task) {
  auto* heap = new std::function<void()>(std::move(task));
  if (!PostMessageW(hwnd_, kMsgRunTask, 0, reinterpret_cast<LPARAM>(heap))) delete heap;
}

LRESULT CALLBACK Win32Form1::WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    auto* self = static_cast<Win32Form1*>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams);
    self->hwnd_ = hwnd;
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<Win32Form1*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  return self ? self->handle(msg, wp, lp) : DefWindowProcW(hwnd, msg, wp, lp);
}

LRESULT CALLBACK Win32Form1::ControlProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  auto* self = reinterpret_cast<Win32Form1*>(GetWindowLongPtrW(GetParent(h), GWLP_USERDATA));
  const bool edit = GetDlgCtrlID(h) == kIdText1;
  // A multi-line edit that IsDialogMessage drives posts WM_CLOSE to its
  // parent on Esc, as if it were a dialog's Cancel: that would end the
  // program.
  if (edit && (msg == WM_KEYDOWN || msg == WM_CHAR) && wp == VK_ESCAPE) return 0;
  // A wheel notch over the closed list picks the next port: a stray scroll
  // would move the line and let a held Shift go. The open list scrolls.
  if (!edit && msg == WM_MOUSEWHEEL && !SendMessageW(h, CB_GETDROPPEDSTATE, 0, 0)) return 0;
  if (msg == WM_KEYDOWN && wp == VK_OEM_COMMA && GetKeyState(VK_CONTROL) < 0 && self->onSettings) {
    self->onSettings();
    return 0;
  }
  if (edit && msg == WM_CONTEXTMENU) {
    POINT at{GET_X_LPARAM(lp), GET_Y_LPARAM(lp)};
    if (at.x == -1 && at.y == -1) {  // from the keyboard: at the caret's line
      at = {2, 2};
      ClientToScreen(h, &at);
    }
    self->contextMenu(at, true);
    return 0;
  }
  return CallWindowProcW(edit ? self->editProc_ : self->comboProc_, h, msg, wp, lp);
}

void Win32Form1::contextMenu(POINT at, bool edit) {
  enum : UINT { kUndo = 1, kCut, kCopy, kPaste, kClear, kSelectAll, kSettings, kPause };
  HMENU menu = CreatePopupMenu();
  HWND text = control(kIdText1);
  if (edit) {
    DWORD from = 0, to = 0;
    SendMessageW(text, EM_GETSEL, reinterpret_cast<WPARAM>(&from), reinterpret_cast<LPARAM>(&to));
    const UINT selected = from != to ? MF_ENABLED : MF_GRAYED;
    AppendMenuW(menu, SendMessageW(text, EM_CANUNDO, 0, 0) ? MF_ENABLED : MF_GRAYED, kUndo, L"&Rückgängig");
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, selected, kCut, L"&Ausschneiden");
    AppendMenuW(menu, selected, kCopy, L"&Kopieren");
    AppendMenuW(menu, IsClipboardFormatAvailable(CF_UNICODETEXT) ? MF_ENABLED : MF_GRAYED, kPaste, L"E&infügen");
    AppendMenuW(menu, selected, kClear, L"&Löschen");
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, GetWindowTextLengthW(text) ? MF_ENABLED : MF_GRAYED, kSelectAll, L"Alles &markieren");
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  }
  AppendMenuW(menu, MF_STRING, kSettings, L"&Einstellungen…\tStrg+,");
  if (onPause) AppendMenuW(menu, MF_STRING, kPause, paused && paused() ? L"&Fortsetzen" : L"&Pausieren");
  const UINT chosen = static_cast<UINT>(
      TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_NONOTIFY, at.x, at.y, 0, hwnd_, nullptr));
  DestroyMenu(menu);
  static constexpr UINT kEditMessages[] = {0, WM_UNDO, WM_CUT, WM_COPY, WM_PASTE, WM_CLEAR};
  if (chosen >= kUndo && chosen <= kClear) SendMessageW(text, kEditMessages[chosen], 0, 0);
  if (chosen == kSelectAll) SendMessageW(text, EM_SETSEL, 0, -1);
  if (chosen == kSettings && onSettings) onSettings();
  if (chosen == kPause && onPause) onPause();
}

LRESULT Win32Form1::handle(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_CONTEXTMENU: {
      POINT at{GET_X_LPARAM(lp), GET_Y_LPARAM(lp)};
      if (at.x == -1 && at.y == -1) {
        at = {0, 0};
        ClientToScreen(hwnd_, &at);
      }
      contextMenu(at, false);
      return 0;
    }
    case WM_SYSCOMMAND:
      // The minimize button, the system menu and the taskbar all come here.
      if ((wp & 0xFFF0) == SC_MINIMIZE && hideWhenMinimized && hideWhenMinimized()) {
        ShowWindow(hwnd_, SW_HIDE);
        return 0;
      }
      if ((wp & 0xFFF0) != kSysSettings) break;
      if (onSettings) onSettings();
      return 0;
    case WM_COMMAND:
      if (LOWORD(wp) != kIdCombo1) return 0;
      // CBN_SELENDOK comes for every choice from the list, the entry in use
      // included; CBN_SELCHANGE would miss that one.
      if (HIWORD(wp) == CBN_SELENDOK) {
        committed_ = static_cast<int>(SendMessageW(control(kIdCombo1), CB_GETCURSEL, 0, 0));
        if (onComboClick) onComboClick();
      }
      // A choice given up (Esc, a click elsewhere) leaves the entry last
      // moved to on show: show the port in use again.
      if (HIWORD(wp) == CBN_SELENDCANCEL) SendMessageW(control(kIdCombo1), CB_SETCURSEL, committed_, 0);
      return 0;
    case WM_MEASUREITEM:
      if (wp != kIdCombo1) break;
      // Sent while the list is created; layout() sets the real heights.
      reinterpret_cast<MEASUREITEMSTRUCT*>(lp)->itemHeight = twipsToPixels(225, dpi_);
      return TRUE;
    case WM_DRAWITEM:
      if (wp != kIdCombo1) break;
      drawComboItem(*reinterpret_cast<const DRAWITEMSTRUCT*>(lp));
      return TRUE;
    case WM_NEXTDLGCTL: {
      // What a dialog does with it. The multi-line edit asks for it on Tab
      // and Shift+Tab, and so does IsDialogMessage from the list.
      HWND next = LOWORD(lp) ? reinterpret_cast<HWND>(wp) : GetNextDlgTabItem(hwnd_, GetFocus(), wp != 0);
      if (next) SetFocus(next);
      return 0;
    }
    case kMsgRunTask: {
      auto* task = reinterpret_cast<std::function<void()>*>(lp);
      runTask(*task);
      delete task;
      return 0;
    }
    case kMsgShowNote:
      openNote();
      return 0;
    case WM_DEVICECHANGE:
      // Looked at later, not while Windows waits for every window to answer.
      if (onDevicesChanged_ && (wp == DBT_DEVICEARRIVAL || wp == DBT_DEVICEREMOVECOMPLETE || wp == DBT_DEVNODES_CHANGED)) {
        if (const int16_t n = namedPort(wp, lp)) namedPorts_.emplace_back(n, wp == DBT_DEVICEARRIVAL);
        SetTimer(hwnd_, kTimerDevices, kDeviceSettleMs, nullptr);
      }
      return TRUE;
    case WM_TIMER:
      if (auto it = timers_.find(wp); it != timers_.end()) {
        KillTimer(hwnd_, wp);
        auto task = std::move(it->second);
        timers_.erase(it);
        runTask(task);
        return 0;
      }
      if (wp != kTimerDevices) break;
      KillTimer(hwnd_, kTimerDevices);
      onDevicesChanged_(std::exchange(namedPorts_, {}));
      return 0;
    case WM_SHOWWINDOW:
      // Hidden for an error's report: a note would only compete with it.
      if (!wp && note_) DestroyWindow(note_);
      break;
    case WM_ACTIVATE:
      if (LOWORD(wp) == WA_INACTIVE) {
        lastFocus_ = GetFocus();
        return 0;
      }
      break;  // activated: the focus goes to the window, and on to lastFocus_
    case WM_SETFOCUS:
      SetFocus(lastFocus_ && IsChild(hwnd_, lastFocus_) ? lastFocus_ : control(kIdText1));
      return 0;
    case 0x02E0: {  // WM_DPICHANGED
      layout(HIWORD(wp));
      // Where Windows suggests: the window keeps its place across the
      // monitors' edge instead of jumping back and forth.
      const RECT* r = reinterpret_cast<const RECT*>(lp);
      SetWindowPos(hwnd_, nullptr, r->left, r->top, r->right - r->left, r->bottom - r->top,
                   SWP_NOZORDER | SWP_NOACTIVATE);
      return 0;
    }
    case WM_CLOSE:
      if (onClose) onClose();
      DestroyWindow(hwnd_);
      return 0;
    case WM_QUERYENDSESSION:
      // The user may yet cancel: let the key up, keep the line.
      if (onSessionEnding) onSessionEnding();
      return TRUE;
    case WM_ENDSESSION:
      if (!wp) {
        if (onSessionResumed) onSessionResumed();
        return 0;
      }
      if (onClose) onClose();
      DestroyWindow(hwnd_);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(hwnd_, msg, wp, lp);
}

}  // namespace tl::window_win32

#include "desktop/win32/tray_icon.h"

#include <shellapi.h>

#include <cmath>
#include <cwchar>
#include <mutex>
#include <utility>
#include <vector>

namespace tl::desktop_win32 {

namespace {

const wchar_t kClassName[] = L"TastlinkTray";
constexpr UINT kMsgCallback = WM_APP + 40;   // the shell's mouse messages for the icon
constexpr UINT kMsgAvailable = WM_APP + 41;  // wParam: whether the shell holds the icon
constexpr UINT kIconId = 1;
constexpr DWORD kShutdownWaitMs = 2000;

enum : UINT { kShow = 1, kSettings, kPause, kQuit };

// A round button seen from above: filled while its key is down, an empty
// ring while it is up, two bars while paused. Drawn, so that it reads at
// the shell's size and matches the Linux tray.
HICON drawIcon(int state, int size) {
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = size;
  info.bmiHeader.biHeight = -size;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP color = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (!color) return nullptr;
  const double s = size, pen = s / 8, radius = s / 2 - pen, barW = s / 8, barH = s / 2.5;
  const double barTop = (s - barH) / 2, bar1 = s / 2 - 1.5 * barW, bar2 = s / 2 + 0.5 * barW;
  auto* px = static_cast<DWORD*>(bits);
  constexpr int kSub = 4;  // samples per pixel and axis: smooth edges
  for (int y = 0; y < size; ++y)
    for (int x = 0; x < size; ++x) {
      double r = 0, g = 0, b = 0, covered = 0;
      for (int i = 0; i < kSub * kSub; ++i) {
        const double sx = x + (i % kSub + 0.5) / kSub, sy = y + (i / kSub + 0.5) / kSub;
        const double d = std::hypot(sx - s / 2, sy - s / 2);
        const bool ring = std::fabs(d - radius) <= pen / 2;
        const bool bars = state == 2 && sy >= barTop && sy < barTop + barH &&
                          ((sx >= bar1 && sx < bar1 + barW) || (sx >= bar2 && sx < bar2 + barW));
        if (ring || bars) {
          r += 0x30, g += 0x30, b += 0x30, covered += 1;
        } else if (state == 1 && d < radius) {
          r += 0x2e, g += 0x9d, b += 0x3a, covered += 1;
        }
      }
      const double n = kSub * kSub;  // premultiplied, as the shell blends it
      px[y * size + x] = static_cast<DWORD>(std::lround(covered / n * 255)) << 24 |
                         static_cast<DWORD>(std::lround(r / n)) << 16 | static_cast<DWORD>(std::lround(g / n)) << 8 |
                         static_cast<DWORD>(std::lround(b / n));
    }
  HBITMAP mask = CreateBitmap(size, size, 1, 1, nullptr);
  ICONINFO ii{TRUE, 0, 0, mask, color};
  HICON icon = CreateIconIndirect(&ii);
  DeleteObject(mask);
  DeleteObject(color);
  return icon;
}

}  // namespace

// What the window's thread wants the shell to show, handed to the icon's
// thread; the latest wish wins.
struct TrayIcon::Shared {
  std::mutex lock;
  std::wstring tip;
  int state = 0;
  bool add = false;  // (again): first shown, or Explorer started anew
  bool stop = false;
  HANDLE wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HWND window = nullptr;
  HICON icons[3] = {};

  ~Shared() {
    for (HICON i : icons)
      if (i) DestroyIcon(i);
    CloseHandle(wake);
  }

  static DWORD WINAPI run(void* param) {
    auto* handed = static_cast<std::shared_ptr<Shared>*>(param);
    const std::shared_ptr<Shared> self = std::move(*handed);
    delete handed;
    self->serve();
    return 0;
  }

  void serve() {
    // Loaded here, not at start: the shell's library is large, and the
    // window must not wait for it either.
    using Notify = BOOL(WINAPI*)(DWORD, NOTIFYICONDATAW*);
    HMODULE shell = LoadLibraryW(L"shell32.dll");
    const auto notify =
        reinterpret_cast<Notify>(reinterpret_cast<void*>(shell ? GetProcAddress(shell, "Shell_NotifyIconW") : nullptr));
    auto tell = [notify](DWORD what, NOTIFYICONDATAW* d) { return notify && notify(what, d); };
    bool added = false;
    int told = -1;
    for (;;) {
      WaitForSingleObject(wake, INFINITE);
      NOTIFYICONDATAW d{};
      d.cbSize = sizeof d;
      d.hWnd = window;
      d.uID = kIconId;
      d.uFlags = NIF_ICON | NIF_TIP | NIF_MESSAGE;
      d.uCallbackMessage = kMsgCallback;
      bool again = false;
      {
        std::lock_guard<std::mutex> hold(lock);
        if (stop) {
          if (added) tell(NIM_DELETE, &d);
          return;
        }
        again = std::exchange(add, false);
        d.hIcon = icons[state];
        // The shell's tip holds 127 characters; a longer status is cut.
        wcsncpy(d.szTip, tip.c_str(), ARRAYSIZE(d.szTip) - 1);
      }
      // An icon the shell still has (a second TaskbarCreated) is changed
      // instead; one it lost is added anew.
      if (again || !added)
        added = tell(NIM_ADD, &d) || tell(NIM_MODIFY, &d);
      else
        added = tell(NIM_MODIFY, &d) || tell(NIM_ADD, &d);
      if (int(added) != told) PostMessageW(window, kMsgAvailable, added, 0);
      told = added;
    }
  }
};

TrayIcon::TrayIcon(HINSTANCE instance) : shared_(std::make_shared<Shared>()) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = WndProc;
  wc.hInstance = instance;
  wc.lpszClassName = kClassName;
  RegisterClassExW(&wc);
  // A top-level window, never shown: Explorer's "TaskbarCreated" reaches
  // top-level windows only.
  hwnd_ = CreateWindowExW(WS_EX_TOOLWINDOW, kClassName, L"Tastlink", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, instance,
                          this);
  shared_->window = hwnd_;
  const int size = GetSystemMetrics(SM_CXSMICON);
  for (int state = 0; state < 3; ++state) shared_->icons[state] = drawIcon(state, size > 0 ? size : 16);
  taskbarCreated_ = RegisterWindowMessageW(L"TaskbarCreated");
}

TrayIcon::~TrayIcon() {
  if (thread_) {
    {
      std::lock_guard<std::mutex> hold(shared_->lock);
      shared_->stop = true;
    }
    SetEvent(shared_->wake);
    // A shell that does not answer keeps its icon until it notices the
    // window gone; the program's end does not wait for it.
    WaitForSingleObject(thread_, kShutdownWaitMs);
    CloseHandle(thread_);
  }
  if (hwnd_) DestroyWindow(hwnd_);
}

void TrayIcon::wake(bool again) {
  if (!thread_) return;
  if (again) {
    std::lock_guard<std::mutex> hold(shared_->lock);
    shared_->add = true;
  }
  SetEvent(shared_->wake);
}

void TrayIcon::show() {
  if (thread_ || !hwnd_) return;
  auto* handed = new std::shared_ptr<Shared>(shared_);
  thread_ = CreateThread(nullptr, 64 * 1024, Shared::run, handed, 0, nullptr);
  if (!thread_) {
    delete handed;
    if (onAvailable) onAvailable(false);
    return;
  }
  wake(true);
}

void TrayIcon::setStatus(const std::wstring& text, bool pressed, bool paused) {
  paused_ = paused;
  {
    std::lock_guard<std::mutex> hold(shared_->lock);
    const int state = paused ? 2 : pressed ? 1 : 0;
    if (text == shared_->tip && state == shared_->state) return;
    shared_->tip = text;
    shared_->state = state;
  }
  wake(false);
}

void TrayIcon::menu() {
  HMENU m = CreatePopupMenu();
  AppendMenuW(m, MF_STRING, kShow, L"Fenster &anzeigen");
  AppendMenuW(m, MF_STRING, kSettings, L"&Einstellungen…");
  AppendMenuW(m, MF_STRING, kPause, paused_ ? L"&Fortsetzen" : L"&Pausieren");
  AppendMenuW(m, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(m, MF_STRING, kQuit, L"&Beenden");
  SetMenuDefaultItem(m, kShow, FALSE);
  POINT at{};
  GetCursorPos(&at);
  // Foreground first, or the menu would stay open when the user clicks
  // elsewhere; the message after it lets it close on the second click.
  SetForegroundWindow(hwnd_);
  const UINT chosen = static_cast<UINT>(
      TrackPopupMenu(m, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_NONOTIFY, at.x, at.y, 0, hwnd_, nullptr));
  PostMessageW(hwnd_, WM_NULL, 0, 0);
  DestroyMenu(m);
  const std::function<void()>* action = chosen == kShow       ? &onShowWindow
                                        : chosen == kSettings ? &onSettings
                                        : chosen == kPause    ? &onPause
                                        : chosen == kQuit     ? &onQuit
                                                              : nullptr;
  if (action && *action) (*action)();
}

LRESULT CALLBACK TrayIcon::WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    auto* self = static_cast<TrayIcon*>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams);
    self->hwnd_ = hwnd;
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<TrayIcon*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  return self ? self->handle(msg, wp, lp) : DefWindowProcW(hwnd, msg, wp, lp);
}

LRESULT TrayIcon::handle(UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == taskbarCreated_ && msg) {
    wake(true);
    return 0;
  }
  switch (msg) {
    case kMsgCallback:
      if (lp == WM_LBUTTONUP && onShowWindow) onShowWindow();
      if (lp == WM_RBUTTONUP) menu();
      return 0;
    case kMsgAvailable:
      available_ = wp != 0;
      if (onAvailable) onAvailable(available_);
      return 0;
  }
  return DefWindowProcW(hwnd_, msg, wp, lp);
}

}  // namespace tl::desktop_win32

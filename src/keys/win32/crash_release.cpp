#include "keys/win32/crash_release.h"

#include <csignal>
#include <cstdlib>
#include <exception>

namespace tl::keys_win32 {

namespace {

// The key-up for each key and mouse button held, as Windows took its
// key-down. Plain static
// data: a way out may run while the window's objects are being destroyed.
constexpr int kMaxHeld = 32;
INPUT g_held[kMaxHeld];
int g_heldCount = 0;
// The thread that holds the record (0: none), and whether a way out has run.
volatile LONG g_owner = 0;
volatile LONG g_shut = 0;
LPTOP_LEVEL_EXCEPTION_FILTER g_previous = nullptr;

// Takes the record. A way out waits a bounded time: the holder may be a
// thread stopped for good by the crash; `bounded` then gives up and goes
// on without the lock, which can no longer race with anything that sends.
// The bound is long enough for a sender merely slowed by a loaded machine
// to finish: a way out that went on beside it would miss its key-down.
bool lock(bool bounded) {
  const LONG me = static_cast<LONG>(GetCurrentThreadId());
  for (int i = 0;; ++i) {
    const LONG owner = InterlockedCompareExchange(&g_owner, me, 0);
    if (owner == 0) return true;
    if (owner == me) return false;  // crashed while sending: it is ours already
    if (bounded && i > 2000) return false;
    Sleep(i < 10 ? 0 : 1);
  }
}

void unlock() { InterlockedExchange(&g_owner, 0); }

// A mouse button's up flag is its down flag shifted by one (LEFTDOWN 0x2,
// LEFTUP 0x4, ... XDOWN 0x80, XUP 0x100).
constexpr DWORD kButtonDowns =
    MOUSEEVENTF_LEFTDOWN | MOUSEEVENTF_RIGHTDOWN | MOUSEEVENTF_MIDDLEDOWN | MOUSEEVENTF_XDOWN;

bool isUp(const INPUT& in) {
  return in.type == INPUT_MOUSE ? !(in.mi.dwFlags & kButtonDowns) : (in.ki.dwFlags & KEYEVENTF_KEYUP) != 0;
}

// The input that lets `in` up again.
INPUT upOf(const INPUT& in) {
  INPUT up = in;
  if (in.type == INPUT_MOUSE)
    up.mi.dwFlags = (in.mi.dwFlags & ~kButtonDowns) | ((in.mi.dwFlags & kButtonDowns) << 1);
  else
    up.ki.dwFlags |= KEYEVENTF_KEYUP;
  return up;
}

// Whether two inputs are the same key or button, down or up.
bool sameKey(const INPUT& a, const INPUT& b) {
  if (a.type != b.type) return false;
  if (a.type != INPUT_MOUSE) return a.ki.wVk == b.ki.wVk;
  return upOf(a).mi.dwFlags == upOf(b).mi.dwFlags && a.mi.mouseData == b.mi.mouseData;
}

void remember(const INPUT& in) {
  const bool up = isUp(in);
  int i = 0;
  while (i < g_heldCount && !sameKey(g_held[i], in)) ++i;
  if (up && i < g_heldCount) {
    g_held[i] = g_held[--g_heldCount];
  } else if (!up && i == g_heldCount && g_heldCount < kMaxHeld) {
    g_held[g_heldCount++] = upOf(in);
  }
}

void letUpForGood() {
  if (InterlockedExchange(&g_shut, 1)) return;  // another way out did it
  const bool locked = lock(true);
  // Newest first, as fingers would let go.
  while (g_heldCount > 0) ::SendInput(1, &g_held[--g_heldCount], sizeof(INPUT));
  if (locked) unlock();
}

LONG WINAPI onUnhandled(EXCEPTION_POINTERS* info) {
  letUpForGood();
  // Let the system report the crash as it would have.
  return g_previous ? g_previous(info) : EXCEPTION_CONTINUE_SEARCH;
}

[[noreturn]] void abortNow() {
  letUpForGood();
  std::signal(SIGABRT, SIG_DFL);
  std::abort();
}

}  // namespace

UINT sendKeyInput(const INPUT& input, SendInputFn send) {
  const bool locked = lock(false);
  UINT sent = 0;
  if (!g_shut) {
    INPUT in = input;
    sent = send(1, &in, sizeof(INPUT));
    // A refused key-down holds nothing; a refused key-up may have left the
    // key down, so it stays to be let up.
    if (sent == 1) remember(input);
  }
  if (locked) unlock();
  return sent;
}

bool keysShut() { return g_shut != 0; }

void letKeysUpOnCrash() {
  g_previous = SetUnhandledExceptionFilter(onUnhandled);
  // A C++ exception that nothing catches ends in std::terminate, then
  // abort(): neither passes the exception filter.
  std::set_terminate(abortNow);
  std::signal(SIGABRT, [](int) { abortNow(); });
}

}  // namespace tl::keys_win32

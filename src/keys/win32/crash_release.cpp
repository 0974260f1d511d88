#include "keys/win32/crash_release.h"

#include <windows.h>

#include <csignal>
#include <cstdlib>
#include <exception>

namespace tl::win {

namespace {

const ShiftKey* g_keys = nullptr;
LPTOP_LEVEL_EXCEPTION_FILTER g_previous = nullptr;

// A crashed process may have a broken heap or a window thread that no
// longer answers: send the key-up straight to user32, touch nothing else.
void releaseNow() {
  if (g_keys && g_keys->down()) ::keybd_event(kVkShift, 1, KEYEVENTF_KEYUP, 0);
}

LONG WINAPI onUnhandled(EXCEPTION_POINTERS* info) {
  releaseNow();
  // Let the system report the crash as it would have.
  return g_previous ? g_previous(info) : EXCEPTION_CONTINUE_SEARCH;
}

void onAbort(int) {
  releaseNow();
  std::signal(SIGABRT, SIG_DFL);
  std::abort();
}

}  // namespace

void releaseShiftOnCrash(const ShiftKey& keys) {
  g_keys = &keys;
  g_previous = SetUnhandledExceptionFilter(onUnhandled);
  // A C++ exception that nothing catches ends in std::terminate, then
  // abort(): neither passes the exception filter.
  std::set_terminate([] {
    releaseNow();
    std::signal(SIGABRT, SIG_DFL);
    std::abort();
  });
  std::signal(SIGABRT, onAbort);
}

}  // namespace tl::win

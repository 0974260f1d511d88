#include "keys/win32/crash_release.h"

#include <windows.h>

#include <csignal>
#include <cstdlib>
#include <exception>

namespace tl::keys_win32 {

namespace {

std::function<void()> g_letKeysUp;
LPTOP_LEVEL_EXCEPTION_FILTER g_previous = nullptr;

void letUpOnce() {
  // The first way out to get here does it; the others find nothing left.
  auto f = std::move(g_letKeysUp);
  g_letKeysUp = nullptr;
  if (f) f();
}

LONG WINAPI onUnhandled(EXCEPTION_POINTERS* info) {
  letUpOnce();
  // Let the system report the crash as it would have.
  return g_previous ? g_previous(info) : EXCEPTION_CONTINUE_SEARCH;
}

[[noreturn]] void abortNow() {
  letUpOnce();
  std::signal(SIGABRT, SIG_DFL);
  std::abort();
}

}  // namespace

void letKeysUpOnCrash(std::function<void()> letKeysUp) {
  g_letKeysUp = std::move(letKeysUp);
  g_previous = SetUnhandledExceptionFilter(onUnhandled);
  // A C++ exception that nothing catches ends in std::terminate, then
  // abort(): neither passes the exception filter.
  std::set_terminate(abortNow);
  std::signal(SIGABRT, [](int) { abortNow(); });
}

}  // namespace tl::keys_win32

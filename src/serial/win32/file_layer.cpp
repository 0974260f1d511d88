#include "serial/win32/file_layer.h"

#include <utility>

#include "core/runtime.h"
#include "serial/win32/comm_line.h"
#include "serial/win32/win_error.h"

namespace tl::serial_win32 {

namespace {

// One open on a thread of its own. The probe and the thread each hold a
// reference; whoever lets go last frees it and closes a handle nobody took,
// so a thread that outlives its deadline touches nothing but this. Plain
// Win32 threads and interlocked counts: nothing of the C++ runtime's
// threading, whose detached threads have crashed at start-up.
struct PendingOpen {
  PendingOpen(Win32FileLayer::Opener o, std::wstring p) : opener(std::move(o)), path(std::move(p)) {}
  ~PendingOpen() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    if (done) CloseHandle(done);
  }
  void release() {
    if (InterlockedDecrement(&refs) == 0) delete this;
  }
  Win32FileLayer::Opener opener;
  std::wstring path;
  HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE h = INVALID_HANDLE_VALUE;
  CallFailure failure;
  LONG refs = 2;
};

DWORD WINAPI openOnThread(void* context) {
  auto* p = static_cast<PendingOpen*>(context);
  CallFailure failure;
  HANDLE h = INVALID_HANDLE_VALUE;
  try {
    h = p->opener(p->path, failure);
  } catch (...) {
    failure = {"CreateFile", ERROR_GEN_FAILURE};
  }
  p->h = h;
  p->failure = failure;
  SetEvent(p->done);
  p->release();
  return 0;
}

// How long a cancelled open may take to come back before it is left to
// finish on its own.
constexpr DWORD kCancelGraceMs = 200;

}  // namespace

Win32FileLayer::Opener Win32FileLayer::defaultOpener() {
  return [](const std::wstring& path, CallFailure& failure) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      failure = {"CreateFile", GetLastError()};
      return h;
    }
    // Reading the settings tells a serial port from other devices that
    // answer to a COM name, and changes nothing.
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h, &dcb)) {
      failure = {"GetCommState", GetLastError()};
      CloseHandle(h);
      return INVALID_HANDLE_VALUE;
    }
    return h;
  };
}

Win32FileLayer::Win32FileLayer(Opener opener, std::chrono::milliseconds deadline, Presence present)
    : FileTable([](HANDLE h) { CloseHandle(h); }),
      opener_(std::move(opener)),
      deadline_(deadline),
      present_(std::move(present)) {}

HANDLE Win32FileLayer::openPort(int com) {
  // A name the system does not have is no port, whatever a slow or odd
  // open would make of it.
  if (!present_(com))
    throw Error(err::kDeviceUnavailable, "Gerät nicht verfügbar");

  auto* pending = new PendingOpen(opener_, devicePath(com));
  HANDLE thread = CreateThread(nullptr, 64 * 1024, openOnThread, pending, 0, nullptr);
  if (!thread) openOnThread(pending);  // no thread to spare: the call, without its deadline
  DWORD r = WaitForSingleObject(pending->done, static_cast<DWORD>(deadline_.count()));
  if (r != WAIT_OBJECT_0 && thread) {
    // Blocked in the driver: ask it to give up, and leave the thread to
    // end on its own if it does not.
    CancelSynchronousIo(thread);
    r = WaitForSingleObject(pending->done, kCancelGraceMs);
  }
  if (thread) CloseHandle(thread);
  const bool answered = r == WAIT_OBJECT_0 && !(pending->h == INVALID_HANDLE_VALUE &&
                                                pending->failure.code == ERROR_OPERATION_ABORTED);
  const HANDLE h = answered ? std::exchange(pending->h, INVALID_HANDLE_VALUE) : INVALID_HANDLE_VALUE;
  const CallFailure failure = pending->failure;
  pending->release();
  if (!answered)
    throw Error(err::kIoError, "das Gerät antwortet nicht (CreateFile nach " + std::to_string(deadline_.count()) +
                                   " ms nicht zurückgekehrt).");
  if (h == INVALID_HANDLE_VALUE) throw Error(openErrorNumber(failure.code), probeFailure(failure));
  return h;
}

}  // namespace tl::serial_win32

#include "serial/win32/file_layer.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "serial/win32/comm_line.h"
#include "serial/win32/win_error.h"
#include "core/runtime.h"

namespace tl::serial_win32 {

namespace {

// Shared between the probe and the thread that makes the call, so that
// either may be the last to let go.
struct PendingOpen {
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  bool abandoned = false;
  HANDLE h = INVALID_HANDLE_VALUE;
  CallFailure failure;
};

}  // namespace

Win32FileLayer::Opener Win32FileLayer::defaultOpener() {
  return [](const std::wstring& path, CallFailure& failure) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      failure = {"CreateFile", GetLastError()};
      return h;
    }
    if ((failure = applyLineSettings(h, true, true))) {
      CloseHandle(h);
      return INVALID_HANDLE_VALUE;
    }
    return h;
  };
}

Win32FileLayer::Win32FileLayer(Opener opener, std::chrono::milliseconds deadline)
    : FileTable([](HANDLE h) { CloseHandle(h); }), opener_(std::move(opener)), deadline_(deadline) {}

HANDLE Win32FileLayer::openPort(int com) {
  auto pending = std::make_shared<PendingOpen>();
  std::thread([pending, opener = opener_, path = devicePath(com)] {
    CallFailure failure;
    HANDLE h = opener(path, failure);
    std::lock_guard<std::mutex> g(pending->m);
    if (pending->abandoned) {
      if (h != INVALID_HANDLE_VALUE) CloseHandle(h);  // too late: nobody wants it
      return;
    }
    pending->h = h;
    pending->failure = failure;
    pending->done = true;
    pending->cv.notify_all();
  }).detach();

  std::unique_lock<std::mutex> lock(pending->m);
  if (!pending->cv.wait_for(lock, deadline_, [&] { return pending->done; })) {
    pending->abandoned = true;
    throw Error(err::kIoError, "das Gerät antwortet nicht (CreateFile nach " + std::to_string(deadline_.count()) +
                                   " ms nicht zurückgekehrt).");
  }
  if (pending->h == INVALID_HANDLE_VALUE)
    throw Error(openErrorNumber(pending->failure.code), probeFailure(pending->failure));
  return pending->h;
}

}  // namespace tl::serial_win32

#include "serial/win32/file_layer.h"

#include <condition_variable>
#include <memory>
#include <mutex>

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

struct OpenCall {
  std::shared_ptr<PendingOpen> pending;
  Win32FileLayer::Opener opener;
  std::wstring path;
};

DWORD WINAPI openOnThread(void* arg) {
  const std::unique_ptr<OpenCall> call(static_cast<OpenCall*>(arg));
  CallFailure failure;
  HANDLE h = call->opener(call->path, failure);
  PendingOpen& pending = *call->pending;
  std::lock_guard<std::mutex> g(pending.m);
  if (pending.abandoned) {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);  // too late: nobody wants it
    return 0;
  }
  pending.h = h;
  pending.failure = failure;
  pending.done = true;
  pending.cv.notify_all();
  return 0;
}

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
  // A thread of Windows' own, not a detached std::thread: the 32-bit
  // runtime's thread start (winpthreads) now and then handed a thread that
  // the probe started, one of many starting and ending at once, a null
  // argument, and the program crashed at start-up.
  auto* call = new OpenCall{pending, opener_, devicePath(com)};
  if (HANDLE thread = CreateThread(nullptr, 0, openOnThread, call, 0, nullptr))
    CloseHandle(thread);
  else
    openOnThread(call);  // no thread to spare: the call, without its deadline

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

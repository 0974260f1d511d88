#include "serial/win32/file_layer.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "serial/win32/comm_line.h"
#include "serial/win32/win_error.h"
#include "window/runtime.h"

namespace tl::win {

namespace {

// Shared between the probe and the thread that makes the call, so that
// either may be the last to let go.
struct PendingOpen {
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  bool abandoned = false;
  HANDLE h = INVALID_HANDLE_VALUE;
  DWORD error = 0;
};

}  // namespace

Win32FileLayer::Opener Win32FileLayer::defaultOpener() {
  return [](const std::wstring& path, DWORD& error) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      error = GetLastError();
      return h;
    }
    if (const DWORD e = applyLineSettings(h, true, true)) {
      CloseHandle(h);
      error = e;
      return INVALID_HANDLE_VALUE;
    }
    return h;
  };
}

Win32FileLayer::Win32FileLayer(Opener opener, std::chrono::milliseconds deadline)
    : opener_(std::move(opener)), deadline_(deadline) {}

Win32FileLayer::~Win32FileLayer() {
  for (auto& [number, h] : open_) CloseHandle(h);
}

int16_t Win32FileLayer::FreeFile() {
  for (int16_t n = 1; n <= 511; ++n)
    if (!open_.count(n)) return n;
  throw Error(67, "Zu viele Dateien");
}

void Win32FileLayer::Open(const std::string& name, int16_t fileNumber) {
  if (fileNumber < 1 || fileNumber > 511) throw Error(err::kBadFileNumber, "Dateinummer falsch");
  if (open_.count(fileNumber)) throw Error(55, "Datei bereits geöffnet");
  const int com = comport::portNumberOf(name);
  if (com == 0) throw Error(err::kFileNotFound, "Datei nicht gefunden: " + name);

  auto pending = std::make_shared<PendingOpen>();
  std::thread([pending, opener = opener_, path = devicePath(com)] {
    DWORD error = 0;
    HANDLE h = opener(path, error);
    std::lock_guard<std::mutex> g(pending->m);
    if (pending->abandoned) {
      if (h != INVALID_HANDLE_VALUE) CloseHandle(h);  // too late: nobody wants it
      return;
    }
    pending->h = h;
    pending->error = error;
    pending->done = true;
    pending->cv.notify_all();
  }).detach();

  std::unique_lock<std::mutex> lock(pending->m);
  if (!pending->cv.wait_for(lock, deadline_, [&] { return pending->done; })) {
    pending->abandoned = true;
    throw Error(err::kIoError, "COM" + std::to_string(com) + ": " + osReason(WAIT_TIMEOUT) +
                                   " (CreateFile nach " + std::to_string(deadline_.count()) + " ms nicht zurück).");
  }
  if (pending->h == INVALID_HANDLE_VALUE)
    throw Error(openErrorNumber(pending->error), openFailure(com, "CreateFile", pending->error));
  open_[fileNumber] = pending->h;
}

void Win32FileLayer::Close(int16_t fileNumber) {
  auto it = open_.find(fileNumber);
  if (it == open_.end()) throw Error(err::kBadFileNumber, "Dateinummer falsch");
  CloseHandle(it->second);
  open_.erase(it);
}

}  // namespace tl::win

#include "serial/win32/device_watch.h"

#include <algorithm>
#include <iterator>
#include <string>

namespace tl::serial_win32 {

bool portPresent(int n) {
  wchar_t target[512];
  const std::wstring name = L"COM" + std::to_wstring(n);
  // A name whose target does not fit still exists.
  return QueryDosDeviceW(name.c_str(), target, 512) || GetLastError() == ERROR_INSUFFICIENT_BUFFER;
}

std::vector<int16_t> presentPorts() {
  std::vector<int16_t> out;
  for (int16_t n = 1; n <= 16; ++n)
    if (portPresent(n)) out.push_back(n);
  return out;
}

Win32DeviceWatch::Win32DeviceWatch(Lister list) : list_(std::move(list)), last_(list_()) {
  std::sort(last_.begin(), last_.end());
}

comport::PortChanges Win32DeviceWatch::changes() {
  std::vector<int16_t> now = list_();
  std::sort(now.begin(), now.end());
  comport::PortChanges out;
  std::set_difference(now.begin(), now.end(), last_.begin(), last_.end(), std::back_inserter(out.arrived));
  std::set_difference(last_.begin(), last_.end(), now.begin(), now.end(), std::back_inserter(out.left));
  // Both looks saw it, yet the system says it went or came: pulled and put
  // back between them (the line open on it belongs to the device gone; its
  // coming may be told before or after this look), or its going was
  // missed. Either way it is to be opened again.
  const auto in = [](const std::vector<int16_t>& v, int16_t p) { return std::find(v.begin(), v.end(), p) != v.end(); };
  for (const auto* named : {&namedRemovals_, &namedArrivals_})
    for (int16_t p : *named) {
      if (!in(now, p) || !in(last_, p) || in(out.arrived, p)) continue;
      if (in(namedRemovals_, p)) out.left.push_back(p);
      out.arrived.push_back(p);
    }
  namedArrivals_.clear();
  namedRemovals_.clear();
  last_ = std::move(now);
  return out;
}

void Win32DeviceWatch::announced(int16_t port, bool arrived) {
  (arrived ? namedArrivals_ : namedRemovals_).push_back(port);
}

}  // namespace tl::serial_win32

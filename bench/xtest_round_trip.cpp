// The XTest round trip: injection to the X server's keymap showing it.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

using Clock = std::chrono::steady_clock;

void xtestRoundTrip() {
  Display* inject = XOpenDisplay(nullptr);
  Display* probe = XOpenDisplay(nullptr);
  if (!inject || !probe) {
    std::printf("xtest_round_trip_us skipped (no X display)\n");
    return;
  }
  const KeyCode shift = XKeysymToKeycode(inject, XK_Shift_L);
  auto isDown = [&] {
    char keys[32];
    XQueryKeymap(probe, keys);
    return (keys[shift / 8] >> (shift % 8)) & 1;
  };
  std::vector<double> rt;
  for (int i = 0; i < 2000; ++i) {
    const bool down = i % 2 == 0;
    const auto t0 = Clock::now();
    XTestFakeKeyEvent(inject, shift, down, CurrentTime);
    XFlush(inject);
    while (isDown() != down) {
    }
    rt.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  std::sort(rt.begin(), rt.end());
  std::printf("xtest_round_trip_us p50=%.0f p99=%.0f n=%zu\n", rt[rt.size() / 2], rt[rt.size() * 99 / 100], rt.size());
  XCloseDisplay(inject);
  XCloseDisplay(probe);
}


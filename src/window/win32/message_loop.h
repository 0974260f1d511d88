// The window thread's message loop. Besides window messages it waits on the
// kernel objects registered here (the serial line's overlapped wait), so the
// whole program runs on one thread and sleeps while nothing happens.
#pragma once

#include <windows.h>

#include <functional>
#include <vector>

namespace tl::win {

class WaitSet {
 public:
  // Runs `onSignaled` on the window thread whenever `handle` is signaled.
  int add(HANDLE handle, std::function<void()> onSignaled);
  void remove(int id);
  // Runs the loop until WM_QUIT; `dialog` gets Tab and arrow-key handling.
  int run(HWND dialog);

 private:
  struct Entry {
    int id;
    HANDLE handle;
    std::function<void()> fn;
  };
  std::vector<Entry> entries_;
  int nextId_ = 1;
};

}  // namespace tl::win

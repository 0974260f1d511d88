// What this process holds, from /proc: for tests that check nothing leaks.
#pragma once

#include <dirent.h>

#include <fstream>
#include <string>

namespace tl::proc {

inline int openFds() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

// Threads of this process called `name` (all threads with nullptr). Counting
// by name keeps runtime helpers, such as a sanitizer's, out of the sum.
inline int threads(const char* name = nullptr) {
  int n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      std::string comm;
      std::getline(std::ifstream(std::string("/proc/self/task/") + e->d_name + "/comm"), comm);
      n += !name || comm == name;
    }
    closedir(d);
  }
  return n;
}

}  // namespace tl::proc

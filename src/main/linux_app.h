// src/main holds the programs' entries (main_linux.cpp, main_win32.cpp,
// and main_sim.cpp for tastlink-sim)
// and each front end's assembly: this one for Qt, win32_app.h for Windows,
// both under app/session's policy.
//
// The Linux program put together: Qt event loop, main window, serial line,
// probe and key injection, under the shared start-up and exit policy.
#pragma once

#include "app/platform.h"

namespace tl::app {

int run(int argc, char** argv, const Platform& platform);

}  // namespace tl::app

// The Linux program put together: Qt event loop, main window, serial line,
// probe and key injection, under the shared start-up and exit policy.
#pragma once

#include "app/platform.h"

namespace tl::app {

int run(int argc, char** argv, const Platform& platform);

}  // namespace tl::app

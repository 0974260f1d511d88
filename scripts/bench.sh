#!/usr/bin/env bash
# Builds Tastlink's benchmark and prints its figures, one line each.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages $BUILD_PACKAGES $TEST_PACKAGES
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DTASTLINK_BENCH=ON >/dev/null
cmake --build build/bench -j"$(nproc)" --target tastlink_bench tastlink-sim >/dev/null
ensure_display
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
build/bench/bench/tastlink_bench 2>/dev/null
# The Windows figures need the test command's 64-bit build (build/win64).
python3 bench/startup.py build/bench/tastlink-sim "$PWD/build/win64" "$PWD/tests/win32/wine-namespace.sh" 2>/dev/null

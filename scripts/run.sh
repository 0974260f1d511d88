#!/usr/bin/env bash
# Builds Tastlink and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages $BUILD_PACKAGES
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DTASTLINK_TESTS=OFF >/dev/null
cmake --build build/release -j"$(nproc)"
exec build/release/tastlink

#!/usr/bin/env bash
# Builds Tastlink and runs the whole test suite (starting an Xvfb server for
# the window and key-injection tests when no X display is set).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages $BUILD_PACKAGES $PACKAGE_PACKAGES $MINGW_PACKAGES $TEST_PACKAGES $WINE_PACKAGES $HIL_PACKAGES \
  $PACKAGE_CHECK_PACKAGES
# The 32-bit Windows program runs under wine32 where this machine can run
# 32-bit programs at all: tried, not assumed.
if ! { ensure_wine32 && /usr/lib/wine/wine --version >/dev/null 2>&1; }; then
  echo "This machine cannot run 32-bit programs under wine: the 32-bit Tastlink.exe is built and checked, not run."
fi

jobs=$(nproc)
cmake -S . -B build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/test -j"$jobs"
# Windows: the 32-bit build, tests included, is built with default options so
# that every shipped toolchain keeps compiling all of it. The 64-bit build's
# tests run under wine64, and its end-to-end tests drive the 32-bit
# Tastlink.exe under wine32 too where the machine can.
cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/win32 -j"$jobs"
cmake -S . -B build/win64 -DTASTLINK_EXE32="$PWD/build/win32/Tastlink.exe" \
  -DTASTLINK_INTERPOSER="$PWD/build/test/tests/libmodem_interposer.so" \
  -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/win64 -j"$jobs"

ensure_display

status=0
ctest --test-dir build/test --output-on-failure -j"$jobs" || status=1
ctest --test-dir build/win64 --output-on-failure || status=1
# The packages exactly as scripts/package.sh makes them, checked and the
# .deb installed and removed again.
./scripts/package.sh --windows || status=1
tests/package/test_packages.sh || status=1

# The Linux suite again under AddressSanitizer and UndefinedBehaviorSanitizer
# (not the VM: its guest agent is static), and the threaded parts under
# ThreadSanitizer.
cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DTASTLINK_SANITIZE=ON >/dev/null
cmake --build build/asan -j"$jobs"
LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp" UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/asan --output-on-failure -j"$jobs" || status=1
cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=Debug -DTASTLINK_TSAN=ON >/dev/null
cmake --build build/tsan -j"$jobs" --target test_linux
TSAN_OPTIONS="halt_on_error=1" ctest --test-dir build/tsan --output-on-failure \
  -R '^(Waiter|Faults|PtyTree|FakeTree|FileLayer)\.' || status=1
exit $status

#!/usr/bin/env bash
# Runs the suites that drive real processes — the Linux program on Xvfb
# (e2e_linux, e2e_settings), the VM (hil_vm), the Windows program under wine
# (windows_under_wine, windows_under_wine32) — N times each (default 5),
# stopping a suite at its first failure, on the builds ./scripts/test.sh made.
#   ./scripts/repeat.sh [N]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
n=${1:-5}
ensure_display
status=0
ctest --test-dir build/test --output-on-failure --repeat until-fail:"$n" -R '^(e2e_linux|e2e_settings|hil_vm)$' || status=1
ctest --test-dir build/win64 --output-on-failure --repeat until-fail:"$n" -R '^windows_under_wine' || status=1
exit $status

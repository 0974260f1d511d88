#!/usr/bin/env bash
# Builds the packages into build/packages: the .deb for this machine's
# Debian/Ubuntu, and with --windows also the Windows ZIPs (64- and 32-bit,
# cross-compiled with mingw-w64). Installs only what building them needs.
#   ./scripts/package.sh [--windows]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh

windows=
for arg in "$@"; do
  case $arg in
    --windows) windows=1 ;;
    -h|--help) sed -n '2,5s/^# \{0,1\}//p' "$0"; exit 0 ;;
    *) echo "unknown option: $arg (see --help)" >&2; exit 2 ;;
  esac
done

ensure_packages $BUILD_PACKAGES $PACKAGE_PACKAGES ${windows:+$MINGW_PACKAGES}

jobs=$(nproc)
out=build/packages
rm -rf "$out"
mkdir -p "$out"

# The .deb: a Release build with Debian's hardening flags (fortified
# functions, stack protector, full RELRO with immediate binding, PIE);
# CPack strips it.
export DEB_BUILD_MAINT_OPTIONS="hardening=+all"
cppflags=$(dpkg-buildflags --get CPPFLAGS)
cmake -S . -B build/package/linux -DCMAKE_BUILD_TYPE=Release -DTASTLINK_TESTS=OFF \
  -DCMAKE_C_FLAGS="$(dpkg-buildflags --get CFLAGS) $cppflags" \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $cppflags" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build build/package/linux -j"$jobs"
cpack --config build/package/linux/CPackConfig.cmake -B "$out" >/dev/null

# Every Windows artefact is made here, from one build per architecture.
windows_packages() {  # windows_packages ARCH (i686 or x86_64)
  local dir=build/package/win-$1
  cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-mingw-$1.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DTASTLINK_TESTS=OFF >/dev/null
  cmake --build "$dir" -j"$jobs"
  cpack --config "$dir/CPackConfig.cmake" -B "$out" >/dev/null
}
if [ -n "$windows" ]; then
  windows_packages x86_64
  windows_packages i686
fi

rm -rf "$out/_CPack_Packages"
echo "Packages in $out:"
ls -1 "$out" | sed 's/^/  /'

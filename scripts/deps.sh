# Sourced by run.sh and test.sh: installs the Debian/Ubuntu packages a step
# needs when they are missing (as root), or names the exact apt line.

BUILD_PACKAGES="cmake g++ make pkg-config qt6-base-dev libevdev-dev libxtst-dev libx11-dev fonts-liberation"
TEST_PACKAGES="libgtest-dev googletest xvfb xdotool python3 util-linux"
# The hardware-in-the-loop VM: QEMU, a stock Debian kernel, busybox.
HIL_PACKAGES="qemu-system-x86 linux-image-amd64 busybox-static cpio"
# The Windows build, cross-compiled and run under wine64 (never wine32: this
# kernel cannot run 32-bit programs; the 32-bit exe is built and checked).
WINDOWS_PACKAGES="g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64 wine wine64"

ensure_packages() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -eq 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q >/dev/null || return 1
    apt-get install -y -q "${missing[@]}" >/dev/null || return 1
  else
    echo "Missing packages. Install them with:"
    echo "  sudo apt-get install -y ${missing[*]}"
    exit 1
  fi
}

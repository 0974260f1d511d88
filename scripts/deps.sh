# Sourced by run.sh and test.sh: installs the Debian/Ubuntu packages a step
# needs when they are missing (as root), or names the exact apt line.

BUILD_PACKAGES="cmake g++ make pkg-config qt6-base-dev libevdev-dev libudev-dev libxtst-dev libx11-dev fonts-liberation"
TEST_PACKAGES="libgtest-dev googletest xvfb xdotool x11-utils python3 util-linux"
# The hardware-in-the-loop VM: QEMU, a stock Debian kernel, busybox.
HIL_PACKAGES="qemu-system-x86 linux-image-amd64 busybox-static cpio"
# The Windows build, cross-compiled and run under wine64 (never wine32: this
# kernel cannot run 32-bit programs; the 32-bit exe is built and checked).
WINDOWS_PACKAGES="g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64 wine wine64"
# Icons and manual pages for the install, the .deb (dpkg-shlibdeps) and the
# checks run on the packages.
PACKAGE_PACKAGES="librsvg2-bin scdoc dpkg-dev lintian desktop-file-utils appstream unzip file"

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

# Starts an Xvfb server for the window and key-injection tests when no X
# display is set; it ends with the calling script.
ensure_display() {
  [ -n "${DISPLAY:-}" ] && return 0
  local n
  for n in $(seq 90 99); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || break
  done
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  XVFB_PID=$!
  trap 'kill $XVFB_PID 2>/dev/null || true' EXIT
  export DISPLAY=":$n"
  for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
}

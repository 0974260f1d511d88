# Sourced by run.sh, package.sh and test.sh: installs the Debian/Ubuntu
# packages a step needs when they are missing (as root), or names the exact
# apt line.

BUILD_PACKAGES="cmake g++ make pkg-config qt6-base-dev libevdev-dev libudev-dev libxtst-dev libx11-dev fonts-liberation"
# Making the packages: icons and manual pages for the install, the .deb
# (dpkg-shlibdeps, dpkg-buildflags; CPack asks `file` what is an executable).
PACKAGE_PACKAGES="librsvg2-bin scdoc dpkg-dev file"
# The Windows program, cross-compiled, and its setup program (makensis).
MINGW_PACKAGES="g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64 nsis"
# The settings window is also read through AT-SPI, as a screen reader does.
TEST_PACKAGES="libgtest-dev googletest xvfb xdotool x11-utils python3 util-linux dbus at-spi2-core python3-pyatspi python3-gi"
# The hardware-in-the-loop VM: QEMU, a stock Debian kernel, busybox, udevadm.
HIL_PACKAGES="qemu-system-x86 linux-image-amd64 busybox-static cpio udev"
# The Windows program's tests under wine64 (the 32-bit one: see ensure_wine32).
WINE_PACKAGES="wine wine64"
# The checks run on the packages.
PACKAGE_CHECK_PACKAGES="lintian desktop-file-utils appstream unzip"

missing_packages() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || echo "$p"
  done
}

ensure_packages() {
  local missing
  missing=$(missing_packages "$@")
  [ -z "$missing" ] && return 0
  if [ "$(id -u)" -eq 0 ]; then
    echo "Installing:" $missing
    export DEBIAN_FRONTEND=noninteractive
    apt-get -o DPkg::Lock::Timeout=600 update -q >/dev/null || return 1
    apt-get -o DPkg::Lock::Timeout=600 install -y -q $missing >/dev/null || return 1
  else
    echo "Missing packages. Install them with:"
    echo "  sudo apt-get install -y" $missing
    exit 1
  fi
}

# wine32 (Debian's i386 architecture) runs the 32-bit Windows program. Installed
# where it can be (as root, the i386 architecture added); whether 32-bit
# programs then really run is for the caller to try. Never fatal.
ensure_wine32() {
  local wanted="wine32:i386"
  [ -z "$(missing_packages $wanted)" ] && return 0
  [ "$(id -u)" -eq 0 ] || return 1
  export DEBIAN_FRONTEND=noninteractive
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386 || return 1
  fi
  apt-get -o DPkg::Lock::Timeout=600 update -q >/dev/null &&
    apt-get -o DPkg::Lock::Timeout=600 install -y -q $wanted >/dev/null
}

# Starts an Xvfb server for the window and key-injection tests when no X
# display is set; it ends with the calling script. The server picks a free
# display number itself (-displayfd), so runs side by side never share one.
ensure_display() {
  [ -n "${DISPLAY:-}" ] && return 0
  local numfile n
  numfile=$(mktemp)
  # Never reset: an X server resets when its last client leaves (between
  # two test programs), refusing connections meanwhile and forgetting any
  # key left down, which a test must see.
  Xvfb -displayfd 3 -noreset -screen 0 1024x768x24 -nolisten tcp 3>"$numfile" >/dev/null 2>&1 &
  XVFB_PID=$!
  trap 'kill $XVFB_PID 2>/dev/null || true' EXIT
  for _ in $(seq 600); do
    [ -s "$numfile" ] && break
    kill -0 $XVFB_PID 2>/dev/null || break
    sleep 0.1
  done
  n=$(cat "$numfile")
  rm -f "$numfile"
  [ -n "$n" ] || { echo "Xvfb did not start"; return 1; }
  export DISPLAY=":$n"
}

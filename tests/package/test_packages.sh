#!/usr/bin/env bash
# Checks the .deb, the two Windows ZIPs and the two setup programs that
# scripts/package.sh --windows left in build/packages as a user meets them: lintian (no hardening tag
# either), the desktop-entry and AppStream validators, the ZIPs' contents,
# and a real `apt-get install` of the .deb (so that a wrong dependency
# fails), its `tastlink --version`, and its removal (a purge: its postrm
# would keep it listed otherwise).
#   tests/package/test_packages.sh
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
out=$root/build/packages
tmp=$(mktemp -d)
installed=
cleanup() {
  [ -n "$installed" ] && apt-get purge -y -q tastlink >/dev/null 2>&1
  rm -rf "$tmp"
}
trap cleanup EXIT

failed=0
check() {  # check WHAT COMMAND...
  local what=$1
  shift
  if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failed=1; fi
}

version=$(sed -n 's/^project(Tastlink VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")

# --- the .deb -----------------------------------------------------------
deb=$out/tastlink_${version}_amd64.deb
check "$(basename "$deb") built" test -f "$deb"
# lintian grumbles on stderr when run as root, which CI is.
check "lintian: no errors" lintian --fail-on error --display-info "$deb" 2> >(grep -v 'root privileges' >&2)
# Built with Debian's hardening flags, which lintian looks for.
check "lintian: hardened" eval '! lintian --display-info --tag-display-limit 0 "$deb" 2>/dev/null | grep hardening-'
dpkg-deb -x "$deb" "$tmp/deb"
present() { local f; for f in "$@"; do [ -f "$tmp/deb/$f" ] || { echo "  missing: $f"; return 1; }; done; }
check "files where the desktop looks" present usr/bin/tastlink \
  usr/share/applications/io.github.tastlink.Tastlink.desktop \
  usr/share/metainfo/io.github.tastlink.Tastlink.metainfo.xml \
  usr/share/icons/hicolor/{scalable/apps/io.github.tastlink.Tastlink.svg,{48x48,256x256}/apps/io.github.tastlink.Tastlink.png} \
  usr/share/man/{,de/}man1/tastlink.1.gz usr/lib/modules-load.d/tastlink.conf \
  usr/share/doc/tastlink/{LICENSE,README.md,copyright,changelog.gz}
rule=$(basename "$tmp"/deb/usr/lib/udev/rules.d/*-tastlink-uinput.rules)
# systemd's uaccess tag only works in a rule read before it acts on it.
check "$rule sorts before 73-seat-late.rules" test "$rule" \< 73-seat-late.rules
check "desktop-file-validate" desktop-file-validate "$tmp"/deb/usr/share/applications/*.desktop
check "appstreamcli validate" appstreamcli validate --no-net "$tmp"/deb/usr/share/metainfo/*.xml
# Docks match the window (WM_CLASS class "Tastlink", Qt's application name)
# to its menu entry; the metainfo has a release history and a screenshot.
check "menu entry matches the window" grep -qx 'StartupWMClass=Tastlink' "$tmp"/deb/usr/share/applications/*.desktop
check "metainfo: a release and a screenshot" sh -c 'grep -q "<release " "$1" && grep -q "<image>" "$1"' - \
  "$tmp"/deb/usr/share/metainfo/io.github.tastlink.Tastlink.metainfo.xml

# --- the Windows ZIPs ---------------------------------------------------
zip_ok() {  # zip_ok ARCH FILE-SIGNATURE
  local name=Tastlink-$version-$1 z=$out/Tastlink-$version-$1.zip
  local want got
  want=$(printf '%s\n' LICENSE.txt LIESMICH.txt README.txt Tastlink.exe | sed "s|^|$name/|")
  got=$(unzip -Z1 "$z" | sort) || return 1
  [ "$got" = "$want" ] || { printf '  has:\n%s\n' "$got"; return 1; }
  unzip -p "$z" "$name/Tastlink.exe" | file - | grep -q "$2" || { echo "  not $2"; return 1; }
  # Notepad before Windows 10 shows a text without CR as one long line.
  ! unzip -p "$z" "$name/*.txt" | grep -qv $'\r$' || { echo "  a text has LF-only lines"; return 1; }
}
check "Tastlink-$version-win32.zip" zip_ok win32 "PE32 executable (GUI) Intel 80386"
check "Tastlink-$version-win64.zip" zip_ok win64 "PE32+ executable (GUI) x86-64"

# --- the Windows setup programs (the wine tests run them) ---------------
setup_ok() {  # setup_ok ARCH FILE-SIGNATURE
  file "$out/Tastlink-$version-$1-setup.exe" | grep -q "$2" || { echo "  not $2"; return 1; }
}
check "Tastlink-$version-win32-setup.exe" setup_ok win32 "PE32 executable (GUI) Intel 80386"
check "Tastlink-$version-win64-setup.exe" setup_ok win64 "PE32+ executable (GUI) x86-64"

# --- installing the .deb ------------------------------------------------
if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP installing the .deb: needs root"
else
  export DEBIAN_FRONTEND=noninteractive
  apt_get() { apt-get -o DPkg::Lock::Timeout=600 -y -q "$@" >"$tmp/apt.log" 2>&1 || { cat "$tmp/apt.log"; return 1; }; }
  # The machine has one dpkg: another run's install or purge in between
  # would change what this one finds.
  exec 9>/run/lock/tastlink-package-test.lock
  flock -w 1800 9 || echo "  waited 30 min for another run's package test; going on"
  if check "apt-get install $(basename "$deb")" apt_get install "$deb"; then
    installed=1
    # Without the option the program would start and open the serial ports,
    # as root, on a machine whose console may be one of them.
    if grep -q -- --version /usr/bin/tastlink; then
      check "tastlink --version" test "$(timeout 20 /usr/bin/tastlink --version)" = "Tastlink $version"
    else
      check "tastlink --version (the program has no such option: not run)" false
    fi
    check "apt-get purge tastlink" apt_get purge tastlink
    installed=
  fi
fi
exit $failed

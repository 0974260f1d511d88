#!/usr/bin/env bash
# Packs the test VM's initramfs: busybox, udevadm, the guest agent, tastlink with the
# libraries ldd names (and Qt's offscreen platform), and the modules of the
# kernel the VM boots: uinput and evdev, and the USB host controller and
# FTDI USB-serial driver for the adapter the VM can plug in and pull out.
#   make_initramfs.sh KERNEL_RELEASE TASTLINK AGENT OUT.cpio.gz
set -euo pipefail
PATH=$PATH:/usr/sbin:/sbin  # modprobe
release=$1 tastlink=$2 agent=$3 out=$4
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

mkdir -p "$root"/{bin,dev,proc,sys,tmp,etc,usr/bin,lib/modules}
cp /bin/busybox "$root/bin/busybox"
for tool in sh mount mkdir insmod stty sleep cat; do ln -s busybox "$root/bin/$tool"; done
cp "$agent" "$root/agent"
cp "$tastlink" "$root/usr/bin/tastlink"

plugins=$(dirname "$(find /usr/lib -path '*qt6/plugins/platforms/libqoffscreen.so' | head -n 1)")
mkdir -p "$root$plugins"
cp "$plugins/libqoffscreen.so" "$root$plugins/"
copy_libs() {
  ldd "$1" | awk '/=> \// {print $3} /^\t\/lib/ {print $1}' | while read -r lib; do
    [ -e "$root$lib" ] && continue
    mkdir -p "$root$(dirname "$lib")"
    cp -L "$lib" "$root$lib"
  done
}
copy_libs "$tastlink"
# udev's own input_id, the classification libinput builds on.
cp "$(command -v udevadm)" "$root/bin/udevadm"
copy_libs "$root/bin/udevadm"
copy_libs "$plugins/libqoffscreen.so"
# The loader under the name the binaries ask for.
interp=$(readelf -l "$tastlink" | sed -n 's/.*interpreter: \(.*\)]/\1/p')
mkdir -p "$root$(dirname "$interp")"
cp -L "$interp" "$root$interp"

mkdir -p "$root/usr/share/fonts"
cp /usr/share/fonts/truetype/liberation/LiberationSans-Regular.ttf "$root/usr/share/fonts/"
cp -r /etc/fonts "$root/etc/" 2>/dev/null || true

# In the order modprobe would load them, dependencies first; the guest has
# no modprobe, so init loads the list as it stands.
for m in evdev uinput xhci_pci ftdi_sio; do
  modprobe --show-depends -S "$release" "$m" | awk '$1 == "insmod" {print $2}'
done | awk '!seen[$0]++' | while read -r ko; do
  cp "$ko" "$root/lib/modules/"
  basename "$ko" >> "$root/lib/modules/order"
done

# brltty's rule as Ubuntu ships it for CH34x, here for the VM's FTDI
# adapter: one gone within a second of coming is then brltty's doing.
mkdir -p "$root/usr/lib/udev/rules.d"
echo 'ENV{PRODUCT}=="403/6001/*", ENV{BRLTTY_BRAILLE_DRIVER}="bm", GOTO="brltty_usb_run"' \
  > "$root/usr/lib/udev/rules.d/85-brltty.rules"

cat > "$root/init" <<'INIT'
#!/bin/sh
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mount -t tmpfs tmp /tmp
while read -r ko; do insmod "/lib/modules/$ko"; done < /lib/modules/order
mkdir -p /run/lock
# A speed of its own, which tastlink's port probe must leave alone.
stty -F /dev/ttyS1 raw -echo 115200
exec /agent </dev/ttyS1 >/dev/ttyS1 2>&1
INIT
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) > "$out"

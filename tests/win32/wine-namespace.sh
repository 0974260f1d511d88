#!/usr/bin/env bash
# Runs a command in a private mount namespace made for wine's COM ports:
# /dev is a fresh tmpfs with the usual nodes bound in, and /dev/ttyS0 (which
# wine maps to COM1 by itself) is a node with no UART behind it, so COM1 is
# absent whatever the machine has. Ports the tests want come from
# dosdevices/comN links to pseudo-terminals.
set -euo pipefail
if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: a private mount namespace needs root"
  exit 77
fi
if [ "${TASTLINK_IN_NS:-}" != 1 ]; then
  export TASTLINK_IN_NS=1
  exec unshare -m --propagation private "$0" "$@"
fi
mkdir -p /run/tastlink-hostdev
mount --rbind /dev /run/tastlink-hostdev
mount -t tmpfs -o mode=755 tmpfs /dev
for n in null zero full random urandom tty; do
  touch "/dev/$n"
  mount --bind "/run/tastlink-hostdev/$n" "/dev/$n"
done
mkdir -p /dev/pts /dev/shm
mount --rbind /run/tastlink-hostdev/pts /dev/pts
mount -t tmpfs tmpfs /dev/shm
ln -s pts/ptmx /dev/ptmx
ln -s /proc/self/fd /dev/fd
mknod /dev/ttyS0 c 4 65
exec "$@"

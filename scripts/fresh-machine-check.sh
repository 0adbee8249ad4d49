#!/usr/bin/env bash
# Tries the README's two commands as a new user would: on a fresh Debian 12 root made with
# `debootstrap --variant=minbase` with only git added, it clones this repository's HEAD and runs
# ./scripts/build-and-test.sh, then ./scripts/demo.sh, as root inside it. KORVAT_X86 is passed on:
# KORVAT_X86=no takes the road of a machine that cannot execute 32-bit code.
# Usage (as root, with Debian's mirror reachable): scripts/fresh-machine-check.sh [root directory]
# The root is kept (debootstrap is slow); a second run reuses it and only re-clones the project.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
root=${1:-/var/tmp/korvat-fresh-root}
x86=${KORVAT_X86:-auto}

command -v debootstrap >/dev/null || { apt-get update -qq && apt-get install -y -qq debootstrap >/dev/null; }
if [ ! -x "$root/usr/bin/apt-get" ]; then
  mkdir -p "$root"
  debootstrap --variant=minbase bookworm "$root" http://deb.debian.org/debian
fi
cp /etc/resolv.conf "$root/etc/resolv.conf"

mounted=()
unmount_all() {
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[$i]}" 2>/dev/null || true; done
}
trap unmount_all EXIT
for fs in proc sys dev dev/pts; do
  mkdir -p "$root/$fs"
  mount --bind "/$fs" "$root/$fs"
  mounted+=("$root/$fs")
done

chroot "$root" /bin/bash -c 'command -v git >/dev/null || { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq git >/dev/null; }'
rm -rf "$root/root/korvat"
git clone -q --no-local "$repo" "$root/root/korvat"
echo "== fresh Debian 12 root $root, KORVAT_X86=$x86: ./scripts/build-and-test.sh =="
chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  KORVAT_X86="$x86" /bin/bash -c 'cd /root/korvat && ./scripts/build-and-test.sh'
echo "== ./scripts/demo.sh =="
chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  KORVAT_X86="$x86" /bin/bash -c 'cd /root/korvat && ./scripts/demo.sh'

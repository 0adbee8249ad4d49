#!/usr/bin/env bash
# A real PC/SC stack for the tests: a Debian 13 root (Wine 10, whose winscard.dll forwards to
# pcsc-lite, pcscd and its vpcd virtual reader driver, Python 3) made once under the build tree and
# reused while it is complete.
#
# Usage: scripts/pcsc-root.sh make | start | run <cmd..> | wine <args..> | card <virtual_card.py args..>
#                             | card-stop <pid> | pcscd-stop | pcscd-start | stop | with <cmd..> | status
#   make   creates the root (debootstrap + packages) unless its stamp says it is complete.
#   start  make, then mounts proc, sys, dev, dev/pts and the repository (at its own path) into the
#          root, each unless it is mounted already, and starts pcscd; returns once its socket is there.
#   run    runs a command inside the started root, in the repository's directory, with Wine 10's
#          environment set (KORVAT_WINE64 is the 64-bit loader, WINEPREFIX a prefix of its own).
#   wine   runs Wine 10's 64-bit loader in the started root (a Windows program and its arguments).
#   card   starts tools/pcsc_virtual_card/virtual_card.py in the root in the background, records its
#          process id (stopped by `stop`) and prints it; its output goes to <root>.state/card-*.log.
#   card-stop <pid>  stops one such card (the card leaves the reader).
#   pcscd-stop, pcscd-start  stop and start pcscd alone in the started root (readers gone and back).
#   stop   stops the virtual cards, Wine's server and pcscd by their ids, then any other process
#          whose root is the root, and unmounts everything below the root in reverse order.
#   with   start, run the command, stop (also on failure or interruption); exits with its status.
#   status prints whether the root is complete and started.
#
# Exit status: 0 done; 77 the root cannot be made or started here (the reason is printed as
# "PC/SC tests SKIPPED: <reason>"); anything else is a failure. KORVAT_PCSC_SKIP_STATUS=0 turns the
# skip into exit 0 for callers that only want the message.
#
# Environment: KORVAT_PCSC_ROOT (default build/pcsc-root), KORVAT_PCSC_MIRROR (default
# http://deb.debian.org/debian), KORVAT_PCSC_PCSCD=no (start, and so with, mount and prepare the
# root but start no pcscd: for programs that need Wine 10 and no PC/SC, run while another root's
# pcscd holds vpcd's port on the host), KORVAT_PCSC_PREFIX (the Wine prefix, default <root>-prefix).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
root=$(realpath -m "${KORVAT_PCSC_ROOT:-$repo/build/pcsc-root}")
mirror=${KORVAT_PCSC_MIRROR:-http://deb.debian.org/debian}
state=$root.state               # mount record, process ids, logs: outside the root itself
stamp=$root/.korvat-pcsc-root-complete
# Wine 10's own prefix (win64), visible in the root through the repo: beside the root, or where
# KORVAT_PCSC_PREFIX says (a root made by another checkout lies outside this repository).
prefix=$(realpath -m "${KORVAT_PCSC_PREFIX:-$root-prefix}")
packages="wine64 wine pcscd vsmartcard-vpcd libpcsclite1 python3"
socket=$root/run/pcscd/pcscd.comm
owned=$root/.korvat-pcsc-root   # written before debootstrap: the directory is ours to remove
skip_status=${KORVAT_PCSC_SKIP_STATUS:-77}

# Whatever KORVAT_PCSC_ROOT says, every command works below the root only: what is mounted there is
# unmounted, what runs with it as its root is stopped, the root is removed when it is remade. So it
# is never a top-level directory, the repository or a directory above it; and it has no blank or
# backslash, which the kernel's mount table escapes.
refuse_root() { echo "error: refusing $root as the PC/SC root: $*" >&2; exit 1; }
case "$root" in /*/*) ;; *) refuse_root "a top-level directory" ;; esac
case "$repo/" in "$root"/*) refuse_root "the repository or a directory above it" ;; esac
case "$root$repo" in *[[:space:]\\]*) refuse_root "it or the repository has a blank or backslash" ;; esac

skip() {
  echo "PC/SC tests SKIPPED: $*" >&2
  exit "$skip_status"
}

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }

# Mounts below the root, the last made first (from the kernel's table: nothing to keep in step).
mounts_below_root() {
  awk -v r="$root" '$2 == r || index($2, r "/") == 1 { print $2 }' /proc/self/mounts | tac
}

is_mounted() { awk -v p="$1" '$2 == p { found = 1 } END { exit !found }' /proc/self/mounts; }

# Processes whose root directory is the root: whatever was started in it and is still there.
processes_in_root() {
  local p
  for p in /proc/[0-9]*; do
    [ "$(readlink "$p/root" 2>/dev/null)" = "$root" ] && echo "${p#/proc/}"
  done
  return 0
}

# Ends the processes still running in the root (TERM, then KILL after 3 s): none may keep the
# mounts busy or outlive the root's session.
stop_processes_in_root() {
  local pids i
  pids=$(processes_in_root)
  [ -n "$pids" ] || return 0
  echo "warning: processes left in the root, stopping them:" $pids >&2
  # shellcheck disable=SC2086
  kill -TERM $pids 2>/dev/null || true
  for i in $(seq 1 30); do
    pids=$(processes_in_root)
    [ -n "$pids" ] || return 0
    sleep 0.1
  done
  # shellcheck disable=SC2086
  kill -KILL $pids 2>/dev/null || true
}

unmount_all() {
  local m
  stop_processes_in_root
  for m in $(mounts_below_root); do
    umount "$m" 2>/dev/null || umount -l "$m" 2>/dev/null || echo "warning: cannot unmount $m" >&2
  done
}

mount_once() {  # <mount arguments..> <target inside the root>; a bind mount is made private
  local target=${!#}
  is_mounted "$target" && return 0
  mkdir -p "$target"
  mount "$@"
  if [ "$1" = --bind ]; then mount --make-private "$target"; fi
}

mount_root() {
  mkdir -p "$state"
  mount_once -t proc proc "$root/proc"
  mount_once -t sysfs sys "$root/sys"
  mount_once --bind /dev "$root/dev"
  mount_once --bind /dev/pts "$root/dev/pts"
  mount_once --bind "$repo" "$root$repo"
}

# Removes the root and its Wine prefix: only with nothing mounted below it, and only a directory
# this script made (or an empty one), whatever KORVAT_PCSC_ROOT names.
remove_root() {
  unmount_all
  if [ -n "$(mounts_below_root)" ]; then
    echo "error: $root still has mounts below it; not removing it" >&2
    exit 1
  fi
  if [ -d "$root" ] && [ ! -f "$owned" ] && [ ! -f "$stamp" ] && [ -n "$(ls -A "$root")" ]; then
    echo "error: $root is not empty and was not made by $0; remove it by hand" >&2
    exit 1
  fi
  rm -rf "$root" "$prefix"
}

preflight() {
  [ "$(id -u)" = 0 ] || skip "not root (a chroot and mounts are needed)"
  command -v chroot >/dev/null || skip "no chroot command"
  [ -d /proc/self ] || skip "no /proc"
}

root_complete() {
  [ -f "$stamp" ] && root_installed
}

root_installed() {
  [ -x "$root/usr/lib/wine/wine64" ] && [ -x "$root/usr/sbin/pcscd" ] \
    && [ -x "$root/usr/bin/python3" ] && compgen -G "$root/usr/lib/pcsc/drivers/serial/libifdvpcd.so*" >/dev/null
}

cmd_make() {
  preflight
  if root_complete; then
    return 0
  fi
  if ! command -v debootstrap >/dev/null; then
    echo "installing debootstrap"
    { apt-get install -y --no-install-recommends debootstrap >/dev/null 2>&1 \
      || { apt-get update >/dev/null 2>&1 && apt-get install -y --no-install-recommends debootstrap >/dev/null 2>&1; }; } \
      || skip "debootstrap is missing and cannot be installed"
  fi
  if [ -n "$(mounts_below_root)" ]; then
    echo "error: $root is incomplete but has mounts below it; run '$0 stop' first" >&2
    exit 1
  fi
  mkdir -p "$state"
  remove_root
  mkdir -p "$root"
  : >"$owned"
  local t0 t1 boot_s install_s
  echo "making the PC/SC root $root (debootstrap trixie, $mirror)"
  t0=$(now)
  trap 'unmount_all' EXIT
  if ! debootstrap --variant=minbase trixie "$root" "$mirror" >"$state/debootstrap.log" 2>&1; then
    tail -n 5 "$state/debootstrap.log" >&2
    remove_root
    trap - EXIT
    skip "debootstrap of Debian 13 failed (mirror $mirror unreachable?), see $state/debootstrap.log"
  fi
  boot_s=$(elapsed "$t0")
  echo "root made in ${boot_s}s; installing $packages"
  mount_root
  cp /etc/resolv.conf "$root/etc/resolv.conf"
  # No service starts while packages are installed (pcscd is started by `start` alone).
  printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
  chmod 755 "$root/usr/sbin/policy-rc.d"
  t1=$(now)
  if ! chroot "$root" sh -c "apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $packages" \
       >"$state/install.log" 2>&1; then
    tail -n 5 "$state/install.log" >&2
    unmount_all
    trap - EXIT
    skip "installing $packages in the root failed, see $state/install.log"
  fi
  install_s=$(elapsed "$t1")
  chroot "$root" apt-get clean >/dev/null 2>&1 || true
  local version
  version=$(chroot "$root" /usr/lib/wine/wine64 --version 2>/dev/null || echo unknown)  # needs /proc
  unmount_all
  trap - EXIT
  root_installed || { echo "error: the root lacks Wine 10, pcscd or vpcd after the install" >&2; exit 1; }
  printf 'debootstrap_seconds=%s\ninstall_seconds=%s\nwine=%s\n' "$boot_s" "$install_s" "$version" >"$stamp"
  echo "packages installed in ${install_s}s; $(grep wine= "$stamp")"
}

pcscd_running() {
  [ -f "$state/pcscd.pid" ] && kill -0 "$(cat "$state/pcscd.pid")" 2>/dev/null
}

cmd_start() {
  cmd_make
  if pcscd_running && [ -S "$socket" ]; then
    return 0
  fi
  local t0
  t0=$(now)
  trap 'cmd_stop' EXIT
  mount_root
  mkdir -p "$root/run/user/0"
  chmod 700 "$root/run/user/0"
  rm -f "$state"/card-*.log   # the cards of the previous session
  if [ "${KORVAT_PCSC_PCSCD:-yes}" = no ]; then
    trap - EXIT
    echo "root started without pcscd (KORVAT_PCSC_PCSCD=no) in $(elapsed "$t0")s"
    return 0
  fi
  start_pcscd
  trap - EXIT
  echo "pcscd started (pid $(cat "$state/pcscd.pid")) in $(elapsed "$t0")s"
}

start_pcscd() {
  local i
  mkdir -p "$root/run/pcscd"
  rm -f "$socket"
  setsid chroot "$root" /usr/sbin/pcscd -f -a --disable-polkit </dev/null >"$state/pcscd.log" 2>&1 &
  echo $! >"$state/pcscd.pid"
  for i in $(seq 1 100); do
    [ -S "$socket" ] && break
    pcscd_running || { cat "$state/pcscd.log" >&2; echo "error: pcscd ended at start" >&2; exit 1; }
    sleep 0.1
  done
  [ -S "$socket" ] || { echo "error: pcscd made no socket within 10 s" >&2; exit 1; }
}

# pcscd alone, in a started root: the resource manager and its readers go away and come back
# (virtual cards that are present connect again by themselves).
cmd_pcscd() {
  [ -n "$(mounts_below_root)" ] || { echo "error: the PC/SC root is not started ('$0 start')" >&2; exit 1; }
  if [ "$1" = stop ]; then
    [ -f "$state/pcscd.pid" ] && stop_pid "$(cat "$state/pcscd.pid")" pcscd
    rm -f "$state/pcscd.pid"
  elif ! pcscd_running; then
    start_pcscd
  fi
}

# The environment of a command run in the root.
run_env() {
  echo "HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 XDG_RUNTIME_DIR=/run/user/0"
  echo "WINEARCH=win64 WINEPREFIX=$prefix WINEDEBUG=${WINEDEBUG:--all} KORVAT_WINE64=/usr/lib/wine/wine64"
}

cmd_run() {  # replaces this process (run it in a subshell to go on afterwards)
  [ -n "$(mounts_below_root)" ] || { echo "error: the PC/SC root is not started ('$0 start')" >&2; exit 1; }
  local dir=$PWD
  case "$dir" in "$repo"|"$repo"/*) ;; *) dir=$repo ;; esac
  # shellcheck disable=SC2046
  exec chroot "$root" /usr/bin/env -i $(run_env) sh -c 'cd "$0" && exec "$@"' "$dir" "$@"
}

cmd_card() {
  [ -n "$(mounts_below_root)" ] || { echo "error: the PC/SC root is not started ('$0 start')" >&2; exit 1; }
  local log
  log=$state/card-$(date +%s%N).log
  # shellcheck disable=SC2046
  setsid chroot "$root" /usr/bin/env -i $(run_env) \
    python3 "$repo/tools/pcsc_virtual_card/virtual_card.py" "$@" </dev/null >"$log" 2>&1 &
  echo $! >>"$state/cards.pids"
  echo $!
}

cmd_card_stop() {  # <pid>: one virtual card started by `card`
  local pid=$1
  grep -qx "$pid" "$state/cards.pids" 2>/dev/null || { echo "error: $pid is no virtual card of ours" >&2; exit 1; }
  stop_pid "$pid" "virtual card"
  grep -vx "$pid" "$state/cards.pids" >"$state/cards.pids.new" || true
  mv "$state/cards.pids.new" "$state/cards.pids"
}

stop_pid() {  # <pid> <name>: TERM, then KILL after 3 s
  local pid=$1 i
  kill -0 "$pid" 2>/dev/null || return 0
  kill -TERM "$pid" 2>/dev/null || true
  for i in $(seq 1 30); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  echo "warning: $2 ($pid) did not end on TERM; killing it" >&2
  kill -KILL "$pid" 2>/dev/null || true
}

cmd_stop() {
  local pid
  if [ -f "$state/cards.pids" ]; then
    while read -r pid; do stop_pid "$pid" "virtual card"; done <"$state/cards.pids"
    rm -f "$state/cards.pids"
  fi
  if [ -n "$(mounts_below_root)" ] && [ -x "$root/usr/lib/wine/wineserver" ]; then
    # shellcheck disable=SC2046
    timeout 10 chroot "$root" /usr/bin/env -i $(run_env) /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
  fi
  if [ -f "$state/pcscd.pid" ]; then
    stop_pid "$(cat "$state/pcscd.pid")" pcscd
    rm -f "$state/pcscd.pid"
  fi
  unmount_all
}

cmd_with() {
  local status=0 child
  cmd_start
  trap 'cmd_stop' EXIT
  ( cmd_run "$@" ) &
  child=$!   # the command itself, as cmd_run execs
  # shellcheck disable=SC2064
  trap "kill -TERM $child 2>/dev/null; wait $child; cmd_stop; trap - EXIT; exit 130" INT
  # shellcheck disable=SC2064
  trap "kill -TERM $child 2>/dev/null; wait $child; cmd_stop; trap - EXIT; exit 143" TERM
  wait "$child" || status=$?
  trap - INT TERM
  cmd_stop
  trap - EXIT
  return "$status"
}

cmd_status() {
  if root_complete; then echo "root: complete ($root)"; cat "$stamp"; else echo "root: not made"; fi
  if pcscd_running; then echo "pcscd: running (pid $(cat "$state/pcscd.pid"))"; else echo "pcscd: stopped"; fi
  echo "mounts: $(mounts_below_root | tr '\n' ' ')"
}

case "${1:-}" in
  make) cmd_make ;;
  start) cmd_start ;;
  run) shift; cmd_run "$@" ;;
  wine) shift; cmd_run /usr/lib/wine/wine64 "$@" ;;
  card) shift; cmd_card "$@" ;;
  card-stop) cmd_card_stop "${2:?usage: $0 card-stop <pid>}" ;;
  pcscd-stop) cmd_pcscd stop ;;
  pcscd-start) cmd_pcscd start ;;
  stop) cmd_stop ;;
  with) shift; preflight; cmd_with "$@" ;;
  status) cmd_status ;;
  *) echo "usage: $0 make|start|run <cmd..>|wine <args..>|card <args..>|card-stop <pid>|pcscd-stop|pcscd-start|stop|with <cmd..>|status" >&2; exit 2 ;;
esac

# Sourced by the build, test and demo scripts: which Wine architectures this machine can run.
# Some x86-64 machines (virtual machines whose hypervisor gives no 32-bit user space) refuse every
# 32-bit Linux program, the 32-bit Wine included; 64-bit Wine runs wherever the machine is x86-64.
#
# Sets KORVAT_RUN_X86 and KORVAT_RUN_X64 to yes or no. KORVAT_X86=yes|no forces the answer for
# x86 (to try the other road on a machine of either kind); unset or auto asks the machine.

korvat_probe_x86() {
  # A 32-bit Linux program of 84 bytes that exits with status 42 (int 0x80, exit).
  local probe status
  probe=$(mktemp "${TMPDIR:-/tmp}/korvat-x86-probe.XXXXXX")
  printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xbb\x2a\x00\x00\x00\xb8\x01\x00\x00\x00\xcd\x80' >"$probe"
  chmod +x "$probe"
  status=0
  "$probe" >/dev/null 2>&1 || status=$?
  rm -f "$probe"
  [ "$status" = 42 ]
}

case "${KORVAT_X86:-auto}" in
  yes) KORVAT_RUN_X86=yes; KORVAT_X86_WHY="forced by KORVAT_X86=yes" ;;
  no) KORVAT_RUN_X86=no; KORVAT_X86_WHY="forced by KORVAT_X86=no" ;;
  auto)
    if korvat_probe_x86; then
      KORVAT_RUN_X86=yes; KORVAT_X86_WHY="this machine executes 32-bit code"
    else
      KORVAT_RUN_X86=no; KORVAT_X86_WHY="this machine cannot execute 32-bit code (a 32-bit program fails to start)"
    fi ;;
  *) echo "KORVAT_X86 must be yes, no or auto, not '$KORVAT_X86'" >&2; exit 2 ;;
esac

if [ "$(uname -m)" = x86_64 ] && [ -x /usr/lib/wine/wine64 ] && /usr/lib/wine/wine64 --version >/dev/null 2>&1; then
  KORVAT_RUN_X64=yes
else
  KORVAT_RUN_X64=no
fi

#!/usr/bin/env bash
# What this machine can run, and how long tests may take on it.
# Sourced by setup.sh and test.sh; also run by CTest (through the trees'
# timeout file) and by hand:
#   machine.sh x86-mode        native | emulated | unavailable
#   machine.sh scale <arch>    the timeout factor for a tree of that arch
#                              (x86-64, x86 or native)
#
# VEL_X86_MODE=emulated|unavailable|native makes everything behave as on such
# a machine (nothing is registered then): the x86 subset, the scaled timeouts
# and the summary can be checked on a machine that runs 32-bit code.

# The i386 ELF header (32-bit, little-endian, executable or shared object,
# Intel 80386) as binfmt_misc wants it, with the mask qemu uses.
VEL_I386_MAGIC='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
VEL_I386_MASK='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
VEL_BINFMT=/proc/sys/fs/binfmt_misc
# How much slower 32-bit tests run under qemu-i386 than natively (10 to 25
# times seen; the subset's waits are mostly Wine start-ups, at the low end).
VEL_EMULATION_FACTOR=10

# Whether an enabled binfmt_misc entry takes i386 programs: the kernel tries
# binfmt_misc before its own ELF loader, so 32-bit code is emulated then.
vel_i386_handler() {
  local f
  [ -e "$VEL_BINFMT/register" ] || return 1
  for f in "$VEL_BINFMT"/*; do
    case "${f##*/}" in register | status) continue ;; esac
    [ "$(head -n1 "$f" 2>/dev/null)" = enabled ] || continue
    # "magic 7f454c4601010100...02000300": e_ident for 32-bit, e_machine 3.
    grep -Eq '^magic 7f454c46010101[0-9a-f]{18}0[23]000300$' "$f" 2>/dev/null && { echo "${f##*/}"; return 0; }
  done
  return 1
}

# Whether 32-bit x86 programs start (libc6:i386 must be installed).
vel_runs_i386() { [ -x /lib/ld-linux.so.2 ] && /lib/ld-linux.so.2 --version >/dev/null 2>&1; }

# native: 32-bit code runs on the processor; emulated: through a registered
# emulator; unavailable: not at all.
vel_x86_mode() {
  if [ -n "${VEL_X86_MODE:-}" ]; then
    case "$VEL_X86_MODE" in native | emulated) echo "$VEL_X86_MODE" ;; *) echo unavailable ;; esac
  elif vel_i386_handler >/dev/null; then
    echo emulated
  elif vel_runs_i386; then
    echo native
  else
    echo unavailable
  fi
}

# How 32-bit x86 code runs here, in a few words.
vel_x86_found() {
  local handler
  case "${VEL_X86_MODE:-}" in
  native) echo "treated as a machine that runs 32-bit x86 code (VEL_X86_MODE=native)"; return ;;
  emulated) echo "treated as a machine that runs 32-bit x86 code only under an emulator (VEL_X86_MODE=emulated; nothing registered)"; return ;;
  ?*) echo "treated as a machine that cannot run 32-bit x86 code (VEL_X86_MODE=$VEL_X86_MODE)"; return ;;
  esac
  case "$(vel_x86_mode)" in
  native) echo "32-bit x86 code runs natively" ;;
  emulated)
    handler=$(vel_i386_handler)
    echo "32-bit x86 code does not run natively; it runs under an emulator (binfmt_misc entry $handler)" ;;
  *) echo "32-bit x86 code does not run, and no emulator could be registered (no binfmt_misc)" ;;
  esac
}

# The machine's load share: 1 on an idle machine, 2 when every core is busy,
# at most 3. One decimal.
vel_load_factor() {
  local load cores
  load=$(cut -d' ' -f1 /proc/loadavg 2>/dev/null || echo 0)
  cores=$(nproc 2>/dev/null || echo 1)
  awk -v l="$load" -v c="$cores" 'BEGIN { f = 1 + l / c; if (f > 3) f = 3; printf "%.1f\n", f }'
}

# vel_timeout_scale <arch> [load factor]: what every test timeout and every
# wait of a test is multiplied by in a tree of that arch.
vel_timeout_scale() {
  local arch=$1 load=${2:-$(vel_load_factor)} emu=1
  if [ "$arch" = x86 ] && [ "$(vel_x86_mode)" = emulated ]; then emu=$VEL_EMULATION_FACTOR; fi
  awk -v l="$load" -v e="$emu" 'BEGIN { printf "%.1f\n", l * e }'
}

# Why an x86 test is not in the set that also runs under the emulator
# (label x86-subset). Seen under qemu-i386: each 32-bit Wine process costs
# 30 s to over a minute of processor time, and a 32-bit program that starts
# threads crashes it now and then.
vel_x86_left_out_reason() {
  case $1 in
  pcsc_calls)
    echo "crashed the emulator in two runs of two (a Wine client error, then a segmentation fault)" ;;
  *_threads | softcard_turns | softcard_library | softcard_churn | pcsc_waiting | csp_reuse | csp_prompt | csp_stress | csp_card_soak | trace_csp | trace_zeb | vltab_exports)
    echo "starts threads, which the emulator does not survive" ;;
  vlmgr_*flows* | vlmgr_window_icon | vlmgr_print | card_operations_flows | choixlad)
    echo "drives a program's windows from another process: minutes a case under the emulator" ;;
  csp_rules | csp_credential | csp_keys_win)
    echo "one more 32-bit program start of about a minute there, for code the x86-64 tree runs too" ;;
  csp_* | trace_*_registry_view | certpropsvc | timeout | cardlayer_softcard | card_operations_softcard)
    echo "starts regsvr32, the card's control program or child programs, each a 32-bit Wine process of tens of seconds there" ;;
  card_operations_openssl)
    echo "checks what card_operations_softcard leaves, which is left out" ;;
  *)
    echo "one more 32-bit program start of about a minute there, for code the x86-64 tree runs too" ;;
  esac
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  case "${1:-}" in
  x86-mode) vel_x86_mode ;;
  scale) vel_timeout_scale "${2:?arch: x86-64, x86 or native}" ;;
  *) echo "usage: $0 x86-mode | scale <x86-64|x86|native>" >&2; exit 2 ;;
  esac
fi

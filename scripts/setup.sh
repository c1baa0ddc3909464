#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian 12 machine,
# and makes 32-bit x86 programs run where the machine cannot run them itself.
# Idempotent: when everything is already there it only checks and returns.
set -euo pipefail
. "$(dirname "$0")/machine.sh"

PACKAGES=(
  cmake ninja-build make python3 git
  g++ clang libclang-rt-14-dev clang-format
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64
  wine wine64 wine32:i386 fonts-wine
  xvfb xauth x11-utils imagemagick
  googletest openssl
  opensc gnutls-bin
  # The test printer (scripts/cups.sh): a private CUPS scheduler printing to
  # PDF, read back with pdftotext; 32-bit Wine's spooler loads libcups too.
  cups printer-driver-cups-pdf poppler-utils libcups2 libcups2:i386
)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

missing=()
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "[setup] adding the i386 architecture (for 32-bit Wine)"
  $SUDO dpkg --add-architecture i386
  need_update=1
fi
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ] || [ "${need_update:-0}" = 1 ]; then
  echo "[setup] installing: ${missing[*]}"
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
else
  echo "[setup] all build and test packages are present"
fi

# The posix-thread variants of the cross-compilers are the ones we build with.
for t in x86_64-w64-mingw32 i686-w64-mingw32; do
  command -v "$t-g++-posix" >/dev/null || { echo "[setup] $t-g++-posix missing" >&2; exit 1; }
done

# 32-bit x86 code: some machines (under some hypervisors) cannot run it. There,
# 32-bit Wine runs through qemu-i386 registered for i386 programs. Debian's
# qemu-user-binfmt registers no i386 handler on an x86-64 host, so we do.
register_i386() {
  command -v qemu-i386 >/dev/null || {
    echo "[setup] installing qemu-user (32-bit x86 programs run through it here)"
    $SUDO apt-get update -q
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends qemu-user
  }
  if [ ! -e "$VEL_BINFMT/register" ]; then
    $SUDO mount -t binfmt_misc binfmt_misc "$VEL_BINFMT" 2>/dev/null || return 1
  fi
  printf ':vel-i386:M::%s:%s:%s:F\n' "$VEL_I386_MAGIC" "$VEL_I386_MASK" "$(command -v qemu-i386)" |
    $SUDO tee "$VEL_BINFMT/register" >/dev/null 2>&1 || return 1
  # The 32-bit Wine loader, as the x86 tests start it.
  vel_i386_handler >/dev/null && /usr/lib/wine/wine --version >/dev/null 2>&1
}

if [ -n "${VEL_X86_MODE:-}" ]; then
  :   # forced: nothing is registered
elif handler=$(vel_i386_handler); then
  : "registered before as $handler"
elif ! vel_runs_i386; then
  register_i386 || echo "[setup] could not register qemu-i386 for i386 programs" >&2
fi
echo "[setup] $(vel_x86_found)"

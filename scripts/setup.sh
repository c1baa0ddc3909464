#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian 12 machine.
# Idempotent: when every package is already there it only checks and returns.
set -euo pipefail

PACKAGES=(
  cmake ninja-build make python3 git
  g++ clang libclang-rt-14-dev
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64
  wine wine64 wine32:i386
  xvfb xauth x11-utils imagemagick
  googletest openssl
  opensc gnutls-bin
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

#!/usr/bin/env bash
# The stand-ins a prefix's system folder holds follow the build's list for
# the kind of prefix started (scripts/wine-prefix.sh), whatever an earlier
# start left there: one prefix of its own, started as the tests' prefix, as
# the main job's, with a stand-in the list no longer has, then as the tests'
# again.
#   prefix_contents_test.sh <build tree>
set -uo pipefail
build=$(cd "$1" && pwd)
source=$(cd "$(dirname "$0")/../.." && pwd)
home=$build/prefix-contents-test
system=$home/wineprefix/drive_c/windows/system32
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
prefix() {
  bash "$source/scripts/wine-prefix.sh" "$1" "$build" "$2" "$home" >"$home.log" 2>&1 ||
    { cat "$home.log"; echo "FAIL: wine-prefix.sh $1 $2"; exit 1; }
}
trap 'bash "$source/scripts/wine-prefix.sh" stop "$build" "$home"; rm -rf "$home" "$home.log"' EXIT

# Wine's own copy of a system file (what wineboot put in the prefix).
wine_own() { compgen -G "/usr/lib/*/wine/x86_64-windows/$1" | head -1; }

# holds <what> <file name> <built file|wine|none>
holds() {
  local name=$2 want=$3
  case $want in
  wine) want=$(wine_own "$name") ;;
  none) [ -e "$system/$name" ] && fail "$1: $name is still there"; return ;;
  esac
  cmp -s "$want" "$system/$name" || fail "$1: $name is not $want"
}

built() { awk -v n="$1" '$1 == "system32" && $3 ~ ("/" n "$") { print $3 }' "$build/wine-prefix.list"; }
softcard=$(built vel3_pkcs11_w64.dll) pcsc=$(built winscard.dll) credui=$(built credui.dll) timeout=$(built timeout.exe)
[ -n "$softcard" ] && [ -n "$pcsc" ] && [ -n "$credui" ] && [ -n "$timeout" ] ||
  { echo "FAIL: the list lacks a stand-in:"; cat "$build/wine-prefix.list"; exit 1; }

prefix new tests
for f in "$softcard" "$pcsc" "$credui" "$timeout"; do holds "tests" "$(basename "$f")" "$f"; done

# A holder's machine: the outside library, the readers, timeout.exe as
# Windows has it; Wine's own credential prompt.
prefix start main
holds "main after tests" vel3_pkcs11_w64.dll "$softcard"
holds "main after tests" winscard.dll "$pcsc"
holds "main after tests" timeout.exe "$timeout"
holds "main after tests" credui.dll wine

# A stand-in an earlier build copied and the list has no more.
cp "$softcard" "$system/vel-gone.dll"
echo system32/vel-gone.dll >>"$home/wineprefix/.vel-standins"
prefix start main
holds "a stand-in no longer built" vel-gone.dll none

prefix start tests
for f in "$softcard" "$pcsc" "$credui" "$timeout"; do holds "tests after main" "$(basename "$f")" "$f"; done

[ $failures -eq 0 ] && echo PASS
exit $((failures > 0))

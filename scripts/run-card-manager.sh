#!/usr/bin/env bash
# Starts the card manager (x86-64) under Wine on the tree's Xvfb display, on
# the software card's default card in its reader: the start-up introduces the
# card, the driver reads its data, then a screenshot of the main dialog is
# taken and the four session logs are saved. Everything lands in one folder:
#   scripts/run-card-manager.sh [folder]     (default: ./card-manager-run)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/win64
out=$(mkdir -p "${1:-$root/card-manager-run}" && cd "${1:-$root/card-manager-run}" && pwd)
winpath() { echo "Z:${1//\//\\}"; }

[ -f "$build/vel3ges/win32/VLMGRW64.exe" ] || cmake --build --preset win64
bash scripts/wine-prefix.sh start "$build" system32 "$build/standins/softcard/vel3_pkcs11_w64.dll" >/dev/null
trap 'bash scripts/wine-prefix.sh stop "$build"' EXIT
display=$(cat "$build/wine-state/display")

# Output to a file, not a pipe: the card manager started by the driver keeps
# the driver's output open while it runs.
"$build/wine-run.sh" "$build/vel3ges/win32/app/vlmgr_demo.exe" show \
  "$(winpath "$build/vel3ges/win32/VLMGRW64.exe")" "$(winpath "$out/softcard.state")" >"$out/run.txt" 2>&1 ||
  { cat "$out/run.txt"; exit 1; }
cat "$out/run.txt"
sleep 1
DISPLAY=$display import -window root "$out/card-manager.png"
"$build/wine-run.sh" "$build/vel3ges/win32/app/vlmgr_demo.exe" finish "$(winpath "$out")" >>"$out/run.txt" 2>&1 ||
  { cat "$out/run.txt"; exit 1; }
echo "Card manager run: screenshot and the four logs in $out"
ls -1 "$out"

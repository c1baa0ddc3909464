#!/usr/bin/env bash
# Starts the card manager (x86-64) under Wine in the main job's prefix (beside
# the tray when scripts/run-tray.sh started it), on that prefix's Xvfb
# display, on the software card's default card in its reader: the start-up
# introduces the card, the driver reads its data, then a screenshot of the
# main dialog is taken and the four session logs are saved. Everything lands
# in one folder; the prefix is stopped at the end.
#   scripts/run-card-manager.sh [folder]     (default: ./card-manager-run)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
use_main_prefix
out=$(mkdir -p "${1:-$root/card-manager-run}" && cd "${1:-$root/card-manager-run}" && pwd)

[ -f "$build/vel3ges/win32/VLMGRW64.exe" ] || cmake --build "$build"
bash scripts/wine-prefix.sh start "$build" main "$VEL_WINE_HOME" >/dev/null
trap 'bash scripts/wine-prefix.sh stop "$build" "$VEL_WINE_HOME"' EXIT
display=$(cat "$VEL_WINE_HOME/wine-state/display")

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

#!/usr/bin/env bash
# The README's picture of the tray's reader-state dialog: the tray (x86-64)
# started under Wine in a new main-job prefix (a holder's machine,
# scripts/wine-prefix.sh), on its Xvfb display, beside the software card,
# with its default card in the first reader and a second, empty reader; once
# the card's certificates are propagated the dialog is opened from the
# tray's command and photographed.
#   scripts/screenshot-readers.sh [file]     (default: docs/reader-state.png)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
use_main_prefix
png=$(realpath -m "${1:-$root/docs/reader-state.png}")

cmake --build "$build" --target ZEB zeb_readers_shot softcard_ctl vel3_csp_w64 >/dev/null
bash scripts/wine-prefix.sh new "$build" main "$VEL_WINE_HOME" >/dev/null
trap 'bash scripts/wine-prefix.sh stop "$build" "$VEL_WINE_HOME"' EXIT
display=$(cat "$VEL_WINE_HOME/wine-state/display")
# The tray binds the certificates to the card provider: registered first, as
# on a holder's machine.
"$build/wine-run.sh" regsvr32 /s "$(winpath "$build/CAPI/CSP/vel3_csp_w64.dll")"
work=$(mktemp -d)
export VEL_SOFTCARD_STATE
VEL_SOFTCARD_STATE=$(winpath "$work/softcard.state")
"$build/wine-run.sh" "$build/standins/softcard/softcard_ctl.exe" add-reader "Lecteur Ovrane VEL 1" >/dev/null

# Output to a file, not a pipe: the tray started by the tool keeps it open.
"$build/wine-run.sh" "$build/CAPI/ZEB/zeb_readers_shot.exe" show "$(winpath "$build/CAPI/ZEB/ZEB.exe")" "$(scaled 60)" \
  >"$work/show.txt" 2>&1 || { cat "$work/show.txt"; exit 1; }
read -r x y w h < <(tr -d '\r' <"$work/show.txt" | tail -n 1)
DISPLAY=$display import -window root -crop "${w}x${h}+${x}+${y}" +repage "$png"
"$build/wine-run.sh" "$build/CAPI/ZEB/zeb_readers_shot.exe" close || true
rm -rf "$work"
echo "reader-state dialog: $png"

#!/usr/bin/env bash
# Time from the card manager's start to the holder's identity shown, and the
# PKCS#11 calls it takes, on the software card with every card call delayed:
#   scripts/bench-card-manager.sh [latency ms per card call, default 30]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
latency=${1:-30}
[ -f "$build/vel3ges/win32/app/vlmgr_demo.exe" ] || cmake --build "$build"
bash scripts/wine-prefix.sh start "$build" tests >/dev/null
trap 'bash scripts/wine-prefix.sh stop "$build"' EXIT
state=$build/vlmgr-bench.state
"$build/wine-run.sh" "$build/vel3ges/win32/app/vlmgr_demo.exe" bench "$(winpath "$build/vel3ges/win32/VLMGRW64.exe")" \
  "$(winpath "$state")" "$(winpath "$build/standins/softcard/cards")" "$latency" >"$state.out" 2>&1 || true
cat "$state.out"

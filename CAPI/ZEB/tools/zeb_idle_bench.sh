#!/usr/bin/env bash
# Idle cost of the tray program (benchmark, not a test): runs
# zeb_idle_bench.exe in the tree's prefix and reads the tray's CPU time on
# the host side over the same idle window.
#   CAPI/ZEB/tools/zeb_idle_bench.sh [build tree] [seconds]
set -euo pipefail
. "$(dirname "$0")/../../../scripts/common.sh"
build=$(cd "${1:-$build}" && pwd)
seconds=${2:-60}
bash "$root/scripts/wine-prefix.sh" start "$build" tests >/dev/null
out=$(mktemp)
"$build/wine-run.sh" "$build/CAPI/ZEB/zeb_idle_bench.exe" "$(winpath "$build/CAPI/ZEB/ZEB.exe")" \
  "$(winpath "$build/standins/softcard/softcard_ctl.exe")" "$seconds" >"$out" 2>&1 &
bench=$!
ticks() {  # utime + stime of the tray's host process, in clock ticks
  local pid
  pid=$(pgrep -n -f "^$(echo "Z:$build/CAPI/ZEB/ZEB.exe" | sed 's|[/.]|.|g')" | head -1)
  [ -n "$pid" ] && awk '{print $14 + $15}' "/proc/$pid/stat"
}
until grep -q "idle window begins" "$out"; do
  kill -0 "$bench" 2>/dev/null || { cat "$out"; exit 1; }
  sleep 0.2
done
t0=$(ticks)
t1=$t0
# Sampled until the window ends: the tray is closed right after.
until grep -q "idle window ends" "$out"; do
  t1=$(ticks || echo "$t1")
  sleep 0.2
done
wait "$bench"
grep -v "idle window" "$out"
hz=$(getconf CLK_TCK)
awk -v t="$((t1 - t0))" -v hz="$hz" -v s="$seconds" \
  'BEGIN { printf "tray CPU time: %.0f ms over %d s, %.0f ms per minute\n", t * 1000 / hz, s, t * 1000 / hz * 60 / s }'
rm -f "$out"

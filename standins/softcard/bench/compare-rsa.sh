#!/usr/bin/env bash
# RSA-2048 signature of the software card beside the Windows provider's
# software key (both from softcard_bench under Wine) and `openssl speed
# rsa2048` on the same machine, in one run.
#   compare-rsa.sh [build tree, default build/win64] [signatures, default 200]
# Starts the tree's Wine prefix when it is not running, and stops it again then.
set -euo pipefail
repo=$(cd "$(dirname "$0")/../../.." && pwd)
build=$(cd "${1:-$repo/build/win64}" && pwd)
count=${2:-200}
case "$build" in
*win32*) dll=vel3_pkcs11_w32.dll ;;
*) dll=vel3_pkcs11_w64.dll ;;
esac
dir="$build/standins/softcard"
[ -f "$dir/softcard_bench.exe" ] || { echo "no $dir/softcard_bench.exe: build the tree first" >&2; exit 1; }

started=no
if ! [ -f "$build/wine-state/xvfb.pid" ] || ! kill -0 "$(cat "$build/wine-state/xvfb.pid")" 2>/dev/null; then
  bash "$repo/scripts/wine-prefix.sh" start "$build" tests >/dev/null
  started=yes
fi
bench=$(cd "$dir" && "$build/wine-run.sh" ./softcard_bench.exe "$dll" "$count" 2>/dev/null | grep -v fixme || true)
[ "$started" = yes ] && bash "$repo/scripts/wine-prefix.sh" stop "$build"
echo "$bench"
echo

ssl=$(openssl speed -seconds 3 rsa2048 2>/dev/null | awk '$1 == "rsa" && $2 == "2048" { sub("s", "", $4); print $4 * 1000 }')
# "default RSA-2048 sign E ms (processor P)" and "provider RSA-2048 sign E ms (processor P)"
ours=$(echo "$bench" | awk '$1 == "default" && $2 == "RSA-2048" { print $4, $7 }' | tr -d ')')
theirs=$(echo "$bench" | awk '$1 == "provider" && $2 == "RSA-2048" { print $4, $7 }' | tr -d ')')
if [ -z "$ours" ] || [ -z "$theirs" ] || [ -z "$ssl" ]; then
  echo "missing a measurement (software card: '$ours', provider: '$theirs', openssl: '$ssl')" >&2
  exit 1
fi
read -r ourWall ourCpu <<<"$ours"
read -r theirWall theirCpu <<<"$theirs"
awk -v ow="$ourWall" -v oc="$ourCpu" -v tw="$theirWall" -v tc="$theirCpu" -v s="$ssl" 'BEGIN {
  printf "RSA-2048 signature, ms        elapsed  processor\n"
  printf "  software card               %7.3f  %7.3f\n", ow, oc
  printf "  Windows provider            %7.3f  %7.3f\n", tw, tc
  printf "  openssl speed rsa2048                %7.3f\n", s
  printf "software card / provider: %.2f elapsed, %.2f processor (goal: at most 0.5)\n", ow / tw, oc / tc
  printf "software card / openssl:  %.2f processor, %.2f elapsed (goal: at most 4)\n", oc / s, ow / s
}'

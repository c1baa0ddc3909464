#!/usr/bin/env bash
# The main job on a built x86-64 tree: the tray's run on a new prefix that
# holds what a holder's machine holds, whatever ran in the tree before
# (scripts/run-tray.sh), then the card manager's beside it
# (scripts/run-card-manager.sh). scripts/run.sh calls it after the set-up
# and the build, and so does the main_job test.
#   scripts/main-job.sh <folder>     (output in <folder>/tray-run and <folder>/card-manager-run)
# The tree is VEL_BUILD (default build/win64), the prefix's home VEL_WINE_HOME
# (default <tree>/main-job); the prefix is stopped when the job ends.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
use_main_prefix
out=$(mkdir -p "$1" && cd "$1" && pwd)
trap 'bash scripts/wine-prefix.sh stop "$build" "$VEL_WINE_HOME"' EXIT
bash scripts/run-tray.sh "$out/tray-run"
bash scripts/run-card-manager.sh "$out/card-manager-run"

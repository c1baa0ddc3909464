#!/usr/bin/env bash
# The project's main job: builds the x86-64 deliverables, then runs the tray
# and the card manager under Wine on the software card (scripts/main-job.sh),
# leaving ./tray-run and ./card-manager-run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset win64 >/dev/null
cmake --build --preset win64
exec bash scripts/main-job.sh .

#!/usr/bin/env bash
# Checks that every C and C++ source the repository tracks is laid out as
# .clang-format says (clang-format 14, Debian 12's). Names each file that is
# not, and how to fix it; fails when there is one.
set -uo pipefail
cd "$(dirname "$0")/.."
count=$(git ls-files '*.c' '*.cpp' '*.h' | wc -l)
bad=$(git ls-files -z '*.c' '*.cpp' '*.h' |
  xargs -0 -P "$(nproc)" -n 16 clang-format --dry-run --Werror 2>&1 |
  sed -nE 's/^([^:]+):[0-9]+:[0-9]+: error: .*/\1/p' | sort -u)
if [ -n "$bad" ]; then
  sed 's/^/[format] not laid out as .clang-format says: /' <<<"$bad"
  echo "[format] fix with: clang-format -i <file>"
  exit 1
fi
echo "[format] $count sources laid out as .clang-format says"

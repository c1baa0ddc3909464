#!/usr/bin/env bash
# The project's test command: installs what is missing, builds the x86-64,
# x86, native and fuzz trees and runs every test. Ends with one summary line.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh || exit 1

trees=(native fuzz win64 win32)
total_pass=0 total_fail=0 failed_trees=()
for t in "${trees[@]}"; do
  echo "=== [$t] configure and build"
  if ! cmake --preset "$t" >"build-$t.configure.log" 2>&1; then
    cat "build-$t.configure.log"; failed_trees+=("$t:configure"); total_fail=$((total_fail+1)); continue
  fi
  rm -f "build-$t.configure.log"
  if ! cmake --build --preset "$t"; then
    failed_trees+=("$t:build"); total_fail=$((total_fail+1)); continue
  fi
  echo "=== [$t] tests"
  out=$(mktemp)
  ctest --preset "$t" 2>&1 | tee "$out"
  rc=${PIPESTATUS[0]}
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$out" | tail -1)
  if [ -n "$line" ]; then
    fail=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
    all=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$line")
    total_pass=$((total_pass + all - fail)); total_fail=$((total_fail + fail))
  fi
  [ "$rc" -eq 0 ] || failed_trees+=("$t:tests")
  rm -f "$out"
done

echo
[ ${#failed_trees[@]} -eq 0 ] || echo "failures in: ${failed_trees[*]}"
echo "${total_pass} passed, ${total_fail} failed"
[ ${#failed_trees[@]} -eq 0 ]

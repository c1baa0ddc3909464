#!/usr/bin/env bash
# The project's test command: installs what is missing, checks the sources'
# layout against .clang-format, builds the native, fuzz, x86-64 and x86 trees
# and runs their tests. The x86 tree runs all its tests where the machine runs
# 32-bit x86 code, only those labelled x86-subset where that code is emulated
# (slow), none where it cannot run at all. Ends with a line saying which x86
# set ran and why, then "N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh || exit 1
. scripts/machine.sh

# The machine's load before the run; each tree takes the higher of it and the
# load once it is built, times its own emulation cost (see scripts/machine.sh).
load=$(vel_load_factor)
x86_mode=$(vel_x86_mode)
echo "[test] time limits and waits x$load (machine load); $(vel_x86_found)"

# count_tests <tree> [ctest selection...]: the tree's tests, fixtures aside.
count_tests() {
  local t=$1; shift
  ctest --preset "$t" -N "$@" | grep -E '^ *Test +#' | grep -cvE ' (wine|printer)_(start|stop)$'
}

# test_names <tree> [ctest selection...]: their names, one a line, sorted.
test_names() {
  local t=$1; shift
  ctest --preset "$t" -N "$@" | sed -nE 's/^ *Test +#[0-9]+: +//p' | grep -vxE '(wine|printer)_(start|stop)' | sort
}

# x86_left_out_list <tree>: each x86 test left out under the emulator, and why.
x86_left_out_list() {
  local name
  echo "x86 tests left out here (every one runs where 32-bit x86 code runs natively):"
  comm -23 <(test_names "$1") <(test_names "$1" -L x86-subset) | while read -r name; do
    echo "  $name: $(vel_x86_left_out_reason "$name")"
  done
}

trees=(native fuzz win64 win32)
total_pass=0 total_fail=0 failed_trees=() x86_line=""

# The layout first: a source the format file would change fails the run.
echo "=== layout of the sources"
if ! bash scripts/format-check.sh; then
  failed_trees+=("layout"); total_fail=$((total_fail+1))
fi
for t in "${trees[@]}"; do
  case $t in win64) arch=x86-64 ;; win32) arch=x86 ;; *) arch=native ;; esac
  echo "=== [$t] configure and build"
  if ! cmake --preset "$t" >"build-$t.configure.log" 2>&1; then
    cat "build-$t.configure.log"; failed_trees+=("$t:configure"); total_fail=$((total_fail+1)); continue
  fi
  rm -f "build-$t.configure.log"
  if ! cmake --build --preset "$t"; then
    failed_trees+=("$t:build"); total_fail=$((total_fail+1)); continue
  fi
  # The load now, after the build, when it is higher than at the start: a
  # loaded machine stretches every limit and wait of this tree's tests.
  export VEL_TIMEOUT_SCALE
  VEL_TIMEOUT_SCALE=$(vel_timeout_scale "$arch" "$(awk -v a="$load" -v b="$(vel_load_factor)" 'BEGIN { print (a > b ? a : b) }')")
  select=()
  if [ "$arch" = x86 ]; then
    all=$(count_tests "$t")
    case $x86_mode in
    native) x86_line="x86 tree: all its $all tests ran: $(vel_x86_found)" ;;
    emulated)
      select=(-L x86-subset)
      x86_line="x86 tree: only the x86-subset set ran, $(count_tests "$t" "${select[@]}") of its $all tests,"
      x86_line+=" time limits x$VEL_TIMEOUT_SCALE: $(vel_x86_found)"
      x86_line+=$'\n'"$(x86_left_out_list "$t")"
      ;;
    *)
      x86_line="x86 tree: built, its $all tests not run: $(vel_x86_found)"
      echo "=== [$t] tests not run: $(vel_x86_found)"
      continue
      ;;
    esac
  fi
  echo "=== [$t] tests (time limits x$VEL_TIMEOUT_SCALE)"
  out=$(mktemp)
  ctest --preset "$t" "${select[@]}" 2>&1 | tee "$out"
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
[ -z "$x86_line" ] || echo "$x86_line"
echo "${total_pass} passed, ${total_fail} failed"
[ ${#failed_trees[@]} -eq 0 ]

# What the scripts share; sourced, not run. Sets `root` (the checkout) and
# `build` (the x86-64 tree the scripts run on: VEL_BUILD, default
# build/win64).
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath -m -- "${VEL_BUILD:-$root/build/win64}")

# winpath <path>: a Unix path as the Windows programs under Wine see it
# (drive Z:, backslashes), made absolute first.
winpath() {
  local p
  p=$(realpath -m -- "$1")
  printf 'Z:%s\n' "${p//\//\\}"
}

# scaled <seconds>: a wait given to a program, times the machine's factor
# VEL_TIMEOUT_SCALE when the test command or CTest set it (never below 1).
scaled() {
  awk -v s="$1" -v f="${VEL_TIMEOUT_SCALE:-1}" 'BEGIN { f += 0; printf "%d\n", s * (f > 1 ? f : 1) }'
}

# use_main_prefix: the Wine programs the calling script starts through the
# tree's wine-run.sh run in the main job's prefix, a holder's machine
# (scripts/wine-prefix.sh), whose home is <tree>/main-job unless
# VEL_WINE_HOME names another one (the main_job test's).
use_main_prefix() {
  export VEL_WINE_HOME="${VEL_WINE_HOME:-$build/main-job}"
}

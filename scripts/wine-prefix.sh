#!/usr/bin/env bash
# The Wine fixture of one build tree.
#   wine-prefix.sh start <build> <system32|syswow64> [dll ...]
#       makes the tree's prefix once (reused afterwards), starts an Xvfb display
#       and a persistent wineserver for the run, and copies the stand-in DLLs
#       into the prefix's system directory.
#   wine-prefix.sh stop <build>
#       stops that prefix's wineserver and that Xvfb, and nothing else.
set -euo pipefail
cmd=$1 build=$(cd "$2" && pwd)   # Wine wants an absolute prefix path
export WINEPREFIX="$build/wineprefix" WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# 64-bit Wine started directly: Debian's wine script would start the 32-bit
# loader first, which machines without 32-bit execution cannot run. The
# prefix's own tools (reg, cmd, the services) are 64-bit in both trees.
export WINELOADER=/usr/lib/wine/wine64
wine64() { "$WINELOADER" "$@"; }
state="$build/wine-state"
mkdir -p "$state"

start_xvfb() {
  if [ -f "$state/xvfb.pid" ] && kill -0 "$(cat "$state/xvfb.pid")" 2>/dev/null; then
    return
  fi
  # Xvfb picks a free display itself and writes its number to the given
  # descriptor once it listens, so two trees starting at once never collide.
  rm -f "$state/display.no"
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$state/display.no" \
    >"$state/xvfb.log" 2>&1 </dev/null &
  local pid=$! i
  for i in $(seq 100); do
    [ -s "$state/display.no" ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if [ ! -s "$state/display.no" ]; then
    echo "Xvfb did not start (see $state/xvfb.log)" >&2
    exit 1
  fi
  echo "$pid" >"$state/xvfb.pid"
  echo ":$(tr -d '[:space:]' <"$state/display.no")" >"$state/display"
}

# A new prefix, as wineboot leaves it, is kept once per checkout
# (build/wineprefix-template) and copied for the next tree that needs one:
# the x86 tree's prefix then costs a copy of seconds instead of a WoW64
# set-up that takes minutes where 32-bit code is emulated. A prefix without
# its 32-bit half (made where 32-bit code cannot run) serves x86-64 trees only.
template="$(dirname "$build")/wineprefix-template"
has_wow64_half() { [ -f "$1/drive_c/windows/syswow64/kernel32.dll" ]; }

make_prefix() {
  local sysdir=$1
  rm -rf "$WINEPREFIX"
  exec 9>"$template.lock"
  flock 9
  if [ -f "$template/.vel-ready" ] && { [ "$sysdir" = system32 ] || has_wow64_half "$template"; }; then
    echo "copying the Wine prefix $template to $WINEPREFIX (once per build tree)"
    cp -a "$template" "$WINEPREFIX"
  else
    echo "creating the Wine prefix $WINEPREFIX (once per build tree)"
    if [ "$sysdir" = syswow64 ]; then
      # Only the 32-bit loader is sure to set up the prefix's 32-bit half
      # (syswow64); under qemu-i386 this takes minutes.
      env -u WINELOADER wine wineboot -i >"$state/wineboot.log" 2>&1 </dev/null
    else
      wine64 wineboot -i >"$state/wineboot.log" 2>&1 </dev/null
    fi
    wineserver -w
    touch "$WINEPREFIX/.vel-ready"
    if ! has_wow64_half "$template" 2>/dev/null; then
      rm -rf "$template.new"
      cp -a "$WINEPREFIX" "$template.new" && rm -rf "$template" && mv "$template.new" "$template"
    fi
  fi
  flock -u 9
}

case "$cmd" in
start)
  sysdir=$3; shift 3
  start_xvfb
  export DISPLAY="$(cat "$state/display")"
  if [ ! -f "$WINEPREFIX/.vel-ready" ]; then
    make_prefix "$sysdir"
  fi
  # A server left from an earlier run of this tree is reused.
  wineserver -p >/dev/null 2>&1 </dev/null || true
  if [ ! -f "$WINEPREFIX/.vel-desktop" ]; then
    # One virtual desktop for every program of the prefix: without a window
    # manager, Wine waits 2 s for each top-level window it hides or destroys
    # (dialogs, message boxes); inside a desktop it does not, and windows get
    # their title bars.
    wine64 reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1 </dev/null
    wine64 reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1280x1024 /f >/dev/null 2>&1 </dev/null
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    wineserver -p >/dev/null 2>&1 </dev/null || true
    touch "$WINEPREFIX/.vel-desktop"
  fi
  # Start the prefix's services and desktop now, with no output attached:
  # started by a test program they would inherit its output pipes and keep
  # CTest waiting after the test has ended.
  wine64 cmd /c exit >/dev/null 2>&1 </dev/null
  for dll in "$@"; do
    cp -f "$dll" "$WINEPREFIX/drive_c/windows/$sysdir/"
    echo "installed $(basename "$dll") into $sysdir"
  done
  ;;
stop)
  wineserver -k 2>/dev/null || true
  if [ -f "$state/xvfb.pid" ]; then
    kill "$(cat "$state/xvfb.pid")" 2>/dev/null || true
    rm -f "$state/xvfb.pid" "$state/display"
  fi
  ;;
*)
  echo "usage: $0 start|stop <build> ..." >&2; exit 2;;
esac

#!/usr/bin/env bash
# The Wine prefixes of one build tree. A home is the folder of one prefix
# (<home>/wineprefix) and of its Xvfb display and server state
# (<home>/wine-state).
#   wine-prefix.sh start <build> <tests|main> [home]
#       makes the prefix once (reused afterwards), starts an Xvfb display and a
#       persistent wineserver for it, and makes its system folder hold the
#       stand-ins the build's list (<build>/wine-prefix.list) gives that kind
#       of prefix, whatever an earlier start put there. tests: the tree's test
#       prefix, every stand-in; main: a holder's machine, those a holder's
#       machine has an equivalent of. The home is the build tree by default.
#   wine-prefix.sh new <build> <tests|main> [home]
#       the same on a new prefix: the one there before is stopped and removed.
#   wine-prefix.sh stop <build> [home]
#       stops that prefix's wineserver and that Xvfb, and nothing else.
set -euo pipefail
cmd=$1 build=$(cd "$2" && pwd)   # Wine wants an absolute prefix path
case "$cmd" in
start | new) kind=$3 home=${4:-$build} ;;
stop) kind="" home=${3:-$build} ;;
*) echo "usage: $0 start|new <build> <tests|main> [home] | stop <build> [home]" >&2; exit 2 ;;
esac
mkdir -p "$home"
home=$(cd "$home" && pwd)
export WINEPREFIX="$home/wineprefix" WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# The tree's own test printer only (scripts/cups.sh), as in wine-run.sh.
export CUPS_SERVER="$build/cups/socket/cups.sock"
# 64-bit Wine started directly: Debian's wine script would start the 32-bit
# loader first, which machines without 32-bit execution cannot run. The
# prefix's own tools (reg, cmd, the services) are 64-bit in both trees.
export WINELOADER=/usr/lib/wine/wine64
wine64() { "$WINELOADER" "$@"; }
state="$home/wine-state"
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
    echo "copying the Wine prefix $template to $WINEPREFIX"
    cp -a "$template" "$WINEPREFIX"
  else
    echo "creating the Wine prefix $WINEPREFIX"
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

# place <file> <entry>: the prefix's file made a copy of <file>, untouched
# when it is one already; else replaced, not rewritten, since a process of
# the prefix may have it mapped.
place() {
  local to="$WINEPREFIX/drive_c/windows/$2"
  cmp -s "$1" "$to" && return
  cp -f "$1" "$to.vel-new"
  mv -f "$to.vel-new" "$to"
}

# Wine's own copy of a file of a system folder, as wineboot put it there;
# nothing when Wine has none.
wine_own_file() {
  local arch f
  case $1 in system32) arch=x86_64-windows ;; syswow64) arch=i386-windows ;; *) return 0 ;; esac
  for f in /usr/lib/*/wine/"$arch/$2" /usr/lib/wine/"$arch/$2" /usr/lib64/wine/"$arch/$2"; do
    [ -f "$f" ] && { echo "$f"; return 0; }
  done
  return 0
}

# The system folder holds the stand-ins of the list that this kind of prefix
# holds, and no other: one an earlier start copied (as its record
# .vel-standins says, or as any kind of prefix of the list may hold) gives
# way to Wine's own file, or goes where Wine has none.
sync_standins() {
  local list="$build/wine-prefix.list" record="$WINEPREFIX/.vel-standins"
  local sysdir kinds file entry
  [ -f "$list" ] || { echo "no $list: configure the tree first" >&2; exit 1; }
  local -A wanted=() candidates=()
  while read -r sysdir kinds file; do
    case "$sysdir" in '' | '#'*) continue ;; esac
    entry="$sysdir/$(basename "$file")"
    candidates[$entry]=1
    case ",$kinds," in *",$kind,"*) wanted[$entry]=$file ;; esac
  done <"$list"
  if [ -f "$record" ]; then
    while read -r entry; do [ -n "$entry" ] && candidates[$entry]=1; done <"$record"
  fi
  : >"$record.new"
  for entry in "${!candidates[@]}"; do
    [ -z "${wanted[$entry]+set}" ] || continue
    file=$(wine_own_file "${entry%%/*}" "${entry#*/}")
    if [ -n "$file" ]; then
      place "$file" "$entry"
    else
      rm -f "$WINEPREFIX/drive_c/windows/$entry"
    fi
  done
  for entry in "${!wanted[@]}"; do
    place "${wanted[$entry]}" "$entry"
    echo "$entry" >>"$record.new"
    echo "installed ${entry#*/} into ${entry%%/*}"
  done
  mv "$record.new" "$record"
}

# Wine's own fonts (fonts-wine) in the prefix's Fonts folder. Wine looks for
# them in its data folder, which Debian's Wine names from its loader's place
# (/usr/lib/wine/../../share/wine); the font loader opens that folder by an
# NT path, NT paths with ".." components are refused
# (STATUS_OBJECT_NAME_INVALID), so none of them is ever loaded and the title
# bars' buttons show Marlett's letters. The files of the prefix's own Fonts
# folder are loaded at every process start.
install_fonts() {
  local fonts=/usr/share/wine/fonts
  if ! compgen -G "$fonts/*.tt[fc]" >/dev/null; then
    echo "Wine's own fonts are missing ($fonts: the package fonts-wine)" >&2
    return
  fi
  mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
  cp -u "$fonts"/* "$WINEPREFIX/drive_c/windows/Fonts/"
}

stop_prefix() {
  wineserver -k 2>/dev/null || true
  if [ -f "$state/xvfb.pid" ]; then
    kill "$(cat "$state/xvfb.pid")" 2>/dev/null || true
    rm -f "$state/xvfb.pid" "$state/display"
  fi
}

case "$kind" in
tests | main | '') ;;
*) echo "$0: the prefix is tests or main, not $kind" >&2; exit 2 ;;
esac
# The tree's system folder: syswow64 for the x86 tree, whose prefix needs its
# 32-bit half.
sysdir=$(awk '$1 !~ /^#/ && NF { print $1; exit }' "$build/wine-prefix.list" 2>/dev/null)
sysdir=${sysdir:-system32}

case "$cmd" in
new | start)
  if [ "$cmd" = new ]; then
    stop_prefix
    wineserver -w 2>/dev/null || true
    rm -rf "$WINEPREFIX"
  fi
  start_xvfb
  export DISPLAY="$(cat "$state/display")"
  if [ ! -f "$WINEPREFIX/.vel-ready" ]; then
    make_prefix "$sysdir"
  fi
  install_fonts
  # A server left from an earlier run of this prefix is reused.
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
  sync_standins
  # Start the prefix's services and desktop now, with no output attached:
  # started by a test program they would inherit its output pipes and keep
  # CTest waiting after the test has ended.
  wine64 cmd /c exit >/dev/null 2>&1 </dev/null
  ;;
stop)
  stop_prefix
  ;;
esac

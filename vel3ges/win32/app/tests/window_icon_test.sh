#!/usr/bin/env bash
# The card manager's window carries its icon: started on the tree's Xvfb
# display, its X window's _NET_WM_ICON must hold a picture (Wine gives every
# window an empty one otherwise). Wine itself does not answer WM_GETICON,
# so this is read on the X side.
#   window_icon_test.sh BUILD_TREE PROGRAM_EXE ICON_FILE
set -u
build="$1"
exe="$2"
icon="$3"
# The wait for the window, scaled as every wait of the tests.
limit=$(awk -v s="${VEL_TIMEOUT_SCALE:-1}" 'BEGIN { printf "%d", 20 * (s > 1 ? s : 1) }')
export DISPLAY="$(cat "$build/wine-state/display")"
export VEL_SOFTCARD_STATE="$(mktemp -u /tmp/vlmgr-icon.XXXXXX).state"

"$build/wine-run.sh" "$exe" >/dev/null 2>&1 &
pid=$!
trap 'kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null' EXIT

window=""
deadline=$((SECONDS + limit))
while [ -z "$window" ] && [ $SECONDS -lt $deadline ]; do
  window=$(xwininfo -root -tree 2>/dev/null | grep '"VEL-GESTION - Version' | awk '{print $1}' | head -1)
  [ -n "$window" ] || sleep 0.2
done
if [ -z "$window" ]; then
  echo "FAIL: no main window within $limit s"
  exit 1
fi

# "_NET_WM_ICON = width, height, pixel, pixel, ...", top row first, ARGB:
# the 32 x 32 picture of the program's icon file (BGRA rows, bottom row
# first), pixel for pixel. Wine gives a window without icon a default one.
xprop -id "$window" -notype 32c _NET_WM_ICON | sed 's/^[^=]*= *//' > "$VEL_SOFTCARD_STATE.icon"
python3 - "$icon" "$VEL_SOFTCARD_STATE.icon" <<'PY'
import struct, sys
ico = open(sys.argv[1], "rb").read()
count = struct.unpack_from("<H", ico, 4)[0]
picture = None
for i in range(count):
    w, h, _, _, _, bpp, size, offset = struct.unpack_from("<BBBBHHII", ico, 6 + 16 * i)
    if w == 32 and h == 32 and bpp == 32:
        picture = ico[offset + 40: offset + 40 + 32 * 32 * 4]
values = [int(v) for v in open(sys.argv[2]).read().replace(",", " ").split()]
if picture is None or len(values) < 2 + 32 * 32 or values[:2] != [32, 32]:
    print("FAIL: no 32 x 32 icon on the window (%s)" % values[:2])
    sys.exit(1)
same = 0
for y in range(32):
    for x in range(32):
        b, g, r, a = picture[((31 - y) * 32 + x) * 4: ((31 - y) * 32 + x) * 4 + 4]
        same += values[2 + y * 32 + x] == (a << 24 | r << 16 | g << 8 | b)
print("%d of 1024 pixels are the program's icon" % same)
sys.exit(0 if same >= 1000 else 1)
PY
result=$?
rm -f "$VEL_SOFTCARD_STATE.icon"
[ $result -eq 0 ] && echo PASS || echo "FAIL: the window does not carry the program's icon"
exit $result

#!/usr/bin/env bash
# Screenshots of the real program with a desktop font the user has set larger: the main
# window ready and probing (its longest message), and the about box, under a private Xvfb in
# a network namespace of its own with only loopback. The desktop is a KDE session as Qt sees
# it (XDG_CURRENT_DESKTOP, a kdeglobals file in a private configuration folder), which is how
# the desktop's font reaches the program without any setting of its own. A window manager is
# used when one is found (openbox on the PATH, or OPENBOX=path), for the title bars.
#
#   font_screenshots.sh PROGRAM OUTDIR [POINTS [LOCALE...]]
#   (defaults: 12 points; C.UTF-8 and ja_JP.UTF-8)
# Writes OUTDIR/<name>-<points>pt-{main,probing,about}.png; exit 77 when it cannot run.
set -uo pipefail
PROGRAM=$1
OUT=$2
POINTS=${3:-12}
shift $(($# < 3 ? $# : 3))
LOCALES=("$@")
[ ${#LOCALES[@]} -eq 0 ] && LOCALES=(C.UTF-8 ja_JP.UTF-8)

if [ "${ORVANE_INSIDE:-}" != 1 ]; then
    [ "$(id -u)" -eq 0 ] || { echo "font screenshots: SKIPPED: the network namespace needs root"; exit 77; }
    for tool in unshare Xvfb xdotool xwininfo import; do
        command -v $tool >/dev/null 2>&1 || { echo "font screenshots: SKIPPED: $tool is missing"; exit 77; }
    done
    mkdir -p "$OUT"
    rc=0
    for locale in "${LOCALES[@]}"; do
        ORVANE_INSIDE=1 unshare --net bash "$0" "$PROGRAM" "$(cd "$OUT" && pwd)" "$POINTS" "$locale" || rc=1
    done
    exit $rc
fi

LOCALE=${LOCALES[0]}
NAME=$(echo "${LOCALE%%.*}" | tr '[:upper:]_' '[:lower:]-')
[ "$NAME" = c ] && NAME=en
ip link set lo up
WORK=$(mktemp -d "${TMPDIR:-/tmp}/orvane-shots.XXXXXX")
PIDS=()
cleanup() {
    local p
    for p in "${PIDS[@]}"; do kill -TERM "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
    rm -rf "$WORK"
}
trap cleanup EXIT

source "$(dirname "$0")/../lib/xvfb.sh"
orvane_start_xvfb "$WORK/xvfb.log" 1280x1024x24 || { echo "Xvfb did not start"; exit 1; }
PIDS+=("$XVFB_PID")
export QT_QPA_PLATFORM=xcb
OPENBOX=${OPENBOX:-$(command -v openbox || true)}
if [ -n "$OPENBOX" ]; then
    "$OPENBOX" ${OPENBOX_ARGS:-} >/dev/null 2>&1 &
    PIDS+=($!)
    sleep 1
fi

# The desktop's font, where a KDE session keeps it.
mkdir -p "$WORK/config"
printf '[General]\nfont=DejaVu Sans,%s,-1,5,50,0,0,0,0,0\n' "$POINTS" >"$WORK/config/kdeglobals"
if [ "$NAME" = ja-jp ]; then
    printf '[General]\nfont=IPAGothic,%s,-1,5,50,0,0,0,0,0\n' "$POINTS" >"$WORK/config/kdeglobals"
fi
env -i PATH="$PATH" DISPLAY="$DISPLAY" QT_QPA_PLATFORM=xcb HOME="$WORK" XDG_CONFIG_HOME="$WORK/config" \
    XDG_RUNTIME_DIR="$WORK" XDG_CURRENT_DESKTOP=KDE KDE_SESSION_VERSION=5 KDE_FULL_SESSION=true \
    LANG="$LOCALE" "$PROGRAM" >"$WORK/app.log" 2>&1 &
APP=$!
PIDS+=($APP)
WID=""
for _ in $(seq 100); do
    WID=$(xdotool search --onlyvisible --pid "$APP" 2>/dev/null | tail -n 1)
    [ -n "$WID" ] && break
    sleep 0.1
done
[ -n "$WID" ] || { echo "no window"; cat "$WORK/app.log"; exit 1; }
sleep 1

# shot NAME WINDOW: the window with its frame where a window manager draws one.
shot() {
    local frame=$2 parent
    if [ -n "$OPENBOX" ]; then
        parent=$(xwininfo -tree -id "$2" 2>/dev/null | sed -n 's/^ *Parent window id: \(0x[0-9a-f]*\).*/\1/p')
        [ -n "$parent" ] && [ "$parent" != "$(xwininfo -root | sed -n 's/.*Window id: \(0x[0-9a-f]*\).*/\1/p')" ] &&
            frame=$parent
    fi
    import -window "$frame" "$OUT/$NAME-${POINTS}pt-$1.png" && echo "saved $OUT/$NAME-${POINTS}pt-$1.png"
}
# click X Y in template units (279 by 187) of the main window.
click() {
    local g w h
    g=$(xdotool getwindowgeometry --shell "$WID")
    w=$(echo "$g" | sed -n 's/^WIDTH=//p')
    h=$(echo "$g" | sed -n 's/^HEIGHT=//p')
    xdotool mousemove --window "$WID" $(($1 * w / 279)) $(($2 * h / 187)) click 1
}

echo "$NAME, ${POINTS} pt: main window $(xdotool getwindowgeometry "$WID" | sed -n 's/ *Geometry: //p')"
shot main "$WID"
click 138 131  # Update: the longest message
sleep 1.5
shot probing "$WID"
xdotool windowfocus --sync "$WID" 2>/dev/null
xdotool key F1
ABOUT=""
for _ in $(seq 50); do
    ABOUT=$(xdotool search --onlyvisible --pid "$APP" 2>/dev/null | grep -vx "$WID" | tail -n 1)
    [ -n "$ABOUT" ] && break
    sleep 0.1
done
sleep 0.5
[ -n "$ABOUT" ] && shot about "$ABOUT"
xdotool key Escape
sleep 0.5
click 242 171  # Cancel
for _ in $(seq 80); do kill -0 "$APP" 2>/dev/null || break; sleep 0.1; done
exit 0

#!/usr/bin/env bash
# The real orvane-updater under a private Xvfb, driven as a user would: xdotool clicks Update,
# the test waits for the progress window to come and go, reads the main window's message
# area back from a screenshot by OCR (tesseract), and clicks Finish. Made to be the updater
# command of tests/e2e/run_e2e.sh, which runs it inside the PC's network namespace (the X
# server then runs there too, reached over its abstract socket):
#
#   xvfb_updater.sh PROGRAM SHOTS_DIR --timeout SECONDS
#
# prints "seen: ..." lines and "outcome: NAME"; exits 0 when an outcome was read and the
# program ended by itself after Finish, else 1. SHOTS_DIR ("-" for none) keeps screenshots.
set -uo pipefail
PROGRAM=$1
SHOTS=$2
shift 2
TIMEOUT=60
[ "${1:-}" = --timeout ] && TIMEOUT=${2:-60}
TITLE='Firmware updater for Orvane M1'

WORK=$(mktemp -d "${TMPDIR:-/tmp}/orvane-xvfb.XXXXXX")
XVFB_PID=""
APP_PID=""
cleanup() {
    [ -n "$APP_PID" ] && kill -TERM "$APP_PID" 2>/dev/null && wait "$APP_PID" 2>/dev/null
    [ -n "$XVFB_PID" ] && kill -TERM "$XVFB_PID" 2>/dev/null && wait "$XVFB_PID" 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT
# A failure shows how the program ended and what it and Xvfb printed: the work folder goes
# with the run.
fail() {
    echo "FAIL: $*"
    if [ -n "$APP_PID" ] && ! kill -0 "$APP_PID" 2>/dev/null; then
        wait "$APP_PID"
        echo "the program ended with status $? (128 + a signal's number when a signal ended it)"
        APP_PID=""
    fi
    sed 's/^/  app | /' "$WORK/app.log" 2>/dev/null
    sed 's/^/  xvfb | /' "$WORK/xvfb.log" 2>/dev/null
    echo "outcome: none"
    exit 1
}

# A display of its own: the server picks a free number and tells it on a pipe.
source "$(dirname "$0")/../lib/xvfb.sh"
orvane_start_xvfb "$WORK/xvfb.log" || fail "Xvfb did not start: $(cat "$WORK/xvfb.log")"
export QT_QPA_PLATFORM=xcb

"$PROGRAM" >"$WORK/app.log" 2>&1 &
APP_PID=$!
WID=""
for _ in $(seq 100); do
    WID=$(xdotool search --onlyvisible --name "^$TITLE\$" 2>/dev/null | head -n 1)
    [ -n "$WID" ] && break
    kill -0 "$APP_PID" 2>/dev/null || fail "the program ended before showing its window"
    sleep 0.1
done
[ -n "$WID" ] || fail "no window titled \"$TITLE\""
echo "seen: window \"$(xdotool getwindowname "$WID")\""

# ocr NAME: the window's picture, enlarged for the OCR, as one line of text.
ocr() {
    import -window "$WID" "$WORK/$1.png" 2>/dev/null || return 1
    [ "$SHOTS" != - ] && cp "$WORK/$1.png" "$SHOTS/$1.png"
    convert "$WORK/$1.png" -colorspace Gray -resize 300% "$WORK/$1.big.png" 2>/dev/null
    tesseract "$WORK/$1.big.png" - 2>/dev/null | tr '\n' ' ' | tr -s ' '
}

# click X Y: a click at a point of the window given in template units (279 by 187).
click() {
    local geometry w h
    geometry=$(xdotool getwindowgeometry --shell "$WID")
    w=$(echo "$geometry" | sed -n 's/^WIDTH=//p')
    h=$(echo "$geometry" | sed -n 's/^HEIGHT=//p')
    xdotool mousemove --window "$WID" $(($1 * w / 279)) $(($2 * h / 187)) click 1
}

text=$(ocr ready)
echo "seen: main window reads \"$text\""
case "$text" in *"Please select [Update] button"*) ;; *) fail "the ready message is not on screen" ;; esac

click 138 131  # the centre of the Update button
deadline=$((SECONDS + TIMEOUT))
progress=""
until [ -n "$progress" ] || [ $SECONDS -ge $deadline ]; do
    progress=$(xdotool search --onlyvisible --name '^Updating\.\.\.$' 2>/dev/null | head -n 1)
    sleep 0.2
done
[ -n "$progress" ] || fail "no progress window appeared"
echo "seen: progress window \"$(xdotool getwindowname "$progress")\""
[ "$SHOTS" != - ] && import -window "$progress" "$SHOTS/progress.png" 2>/dev/null
while xdotool search --onlyvisible --name '^Updating\.\.\.$' >/dev/null 2>&1 && [ $SECONDS -lt $deadline ]; do
    sleep 0.2
done
text=$(ocr outcome)
echo "seen: main window reads \"$text\""
outcome=none
case "$text" in
    *"Update completed."*) outcome=completed ;;
    *"Failed to update"*) outcome=failed ;;
    *"backdate to an old version"*) outcome="old version" ;;
    *"Cannot probe any device"*) outcome="no device" ;;
esac
echo "outcome: $outcome"
[ "$outcome" != none ] || exit 1

click 242 171  # the centre of the Finish button
for _ in $(seq 100); do
    kill -0 "$APP_PID" 2>/dev/null || break
    sleep 0.1
done
if kill -0 "$APP_PID" 2>/dev/null; then
    echo "FAIL: the program did not end after Finish"
    exit 1
fi
wait "$APP_PID"
rc=$?
APP_PID=""
[ $rc -eq 0 ] || { echo "FAIL: the program exited with $rc"; sed 's/^/  app | /' "$WORK/app.log"; exit 1; }
echo "seen: the program ended after Finish"
exit 0

#!/usr/bin/env bash
# The program unpacked from the package, started the way a desktop's menu starts it: the Exec
# line of its desktop entry, run by an ordinary user (nobody) with nothing but the session's
# environment. It must come up in that user's language, keep one instance per user (a second
# start by the same user leaves at once, another user gets a window of their own), end with
# Finish, and leave no file behind in the user's home, runtime folder or /tmp.
#
#   run_installed.sh ROOT      (ROOT: the package unpacked with dpkg-deb -x)
#
# Runs in a network namespace of its own with only loopback (unshare --net) on a private
# Xvfb. Exit codes: 0 passed, 1 failed, 77 skipped (not root, a tool missing).
set -uo pipefail
ROOT=$(cd "$1" && pwd)
APP_ID=com.orvane.M1Updater
TITLE_DE='Firmware-Updater für Orvane M1'
TITLE_EN='Firmware updater for Orvane M1'

if [ "${ORVANE_INSIDE:-}" != 1 ]; then
    skip() {
        echo "  unpacked program: SKIPPED: $*"
        exit 77
    }
    [ "$(id -u)" -eq 0 ] || skip "a network namespace and a second user need root"
    for tool in unshare setpriv Xvfb xdotool dbus-daemon; do
        command -v $tool >/dev/null 2>&1 || skip "$tool is missing"
    done
    id nobody >/dev/null 2>&1 || skip "no user nobody"
    exec timeout -k 5 120 env ORVANE_INSIDE=1 unshare --net bash "$0" "$ROOT"
fi

ip link set lo up
WORK=$(mktemp -d "${TMPDIR:-/tmp}/orvane-installed.XXXXXX")
chmod 755 "$WORK"
PIDS=()
cleanup() {
    local p
    for p in "${PIDS[@]}"; do kill -KILL "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
    [ -n "${ORVANE_KEEP:-}" ] && echo "kept $WORK" || rm -rf "$WORK"
}
trap cleanup EXIT
FAILED=0
ok() { echo "  ok   $*"; }
bad() {
    echo "  FAIL $*"
    FAILED=$((FAILED + 1))
}

source "$(dirname "$0")/../lib/xvfb.sh"
orvane_start_xvfb "$WORK/xvfb.log" || { echo "  FAIL Xvfb did not start"; exit 1; }
PIDS+=("$XVFB_PID")

EXEC=$(sed -n 's/^Exec=//p' "$ROOT/usr/share/applications/$APP_ID.desktop" | head -n 1)
NOBODY_GROUP=$(id -gn nobody)
# home and runtime folder of each user, empty and their own
as_user() { [ "$1" = root ] || echo setpriv --reuid="$1" --regid="$NOBODY_GROUP" --clear-groups; }
for u in nobody root; do
    mkdir -p "$WORK/$u/home" "$WORK/$u/run"
    chown -R "$u:$(id -gn $u)" "$WORK/$u"
    chmod 700 "$WORK/$u/home" "$WORK/$u/run"
    # A desktop session's bus runs before any program of the session starts.
    bus=$($(as_user $u) env -i HOME="$WORK/$u/home" XDG_RUNTIME_DIR="$WORK/$u/run" \
        dbus-daemon --session --fork --nopidfile --address="unix:path=$WORK/$u/run/bus" --print-pid) &&
        PIDS+=("$bus") || { echo "  FAIL no session bus for $u"; exit 1; }
done
touch "$WORK/marker"
sleep 1  # file times of later writes differ from the marker's

# start USER LANG: the Exec line as the menu runs it, with a desktop session's environment.
start() {
    local user=$1 lang=$2
    $(as_user "$user") env -i PATH="$ROOT/usr/bin:/usr/bin:/bin" HOME="$WORK/$user/home" \
        XDG_RUNTIME_DIR="$WORK/$user/run" DISPLAY="$DISPLAY" LANG="$lang" \
        DBUS_SESSION_BUS_ADDRESS="unix:path=$WORK/$user/run/bus" \
        sh -c "exec $EXEC" >>"$WORK/$user.log" 2>&1 &
    STARTED=$!
    PIDS+=($STARTED)
}
# windows TITLE: the visible windows of exactly that title. They are compared by the name
# as the window sets it (UTF-8), not by xdotool's pattern, which depends on how the window
# system encodes a title's non-ASCII letters.
windows() {
    local w
    for w in $(xdotool search --onlyvisible --name 'Orvane M1' 2>/dev/null); do
        [ "$(xdotool getwindowname "$w" 2>/dev/null)" = "$1" ] && echo "$w"
    done
}
# window TITLE: waits up to 10 s for a visible window of that title; prints its id.
window() {
    local w
    for _ in $(seq 100); do
        w=$(windows "$1" | head -n 1)
        [ -n "$w" ] && { echo "$w"; return 0; }
        sleep 0.1
    done
    return 1
}
# ends_within SECONDS PID: the process ends in time with exit code 0.
ends_within() {
    local i
    for ((i = 0; i < $1 * 10; i++)); do
        kill -0 "$2" 2>/dev/null || break
        sleep 0.1
    done
    kill -0 "$2" 2>/dev/null && return 1
    wait "$2"
}

start nobody de_DE.UTF-8
FIRST=$STARTED
if WID=$(window "$TITLE_DE"); then
    ok "started by nobody from the desktop entry's Exec line, in German from LANG"
else
    bad "no window titled \"$TITLE_DE\" for nobody with LANG=de_DE.UTF-8"
    sed 's/^/         /' "$WORK/nobody.log"
    exit 1
fi

start nobody de_DE.UTF-8
if ends_within 5 "$STARTED"; then
    ok "a second start by the same user leaves at once, with exit code 0"
else
    bad "a second start by the same user did not leave within 5 s with exit code 0"
fi
[ "$(windows "$TITLE_DE" | wc -l)" -eq 1 ] &&
    kill -0 "$FIRST" 2>/dev/null && ok "the first instance runs on with its one window" ||
    bad "the first instance or its window is gone, or a second window appeared"

start root C.UTF-8
ROOTS=$STARTED
if RWID=$(window "$TITLE_EN"); then
    ok "another user gets a window of their own: the lock is per user"
    xdotool windowfocus --sync "$RWID" 2>/dev/null
    xdotool key Escape 2>/dev/null
    ends_within 10 "$ROOTS" && ok "Esc ends that user's instance with exit code 0" ||
        bad "Esc did not end the other user's instance"
else
    bad "no window for a second user"
    sed 's/^/         /' "$WORK/root.log"
fi

# Finish, at its place in the template (279 by 187 dialog units).
geometry=$(xdotool getwindowgeometry --shell "$WID")
w=$(echo "$geometry" | sed -n 's/^WIDTH=//p')
h=$(echo "$geometry" | sed -n 's/^HEIGHT=//p')
xdotool mousemove --window "$WID" $((242 * w / 279)) $((171 * h / 187)) click 1
ends_within 10 "$FIRST" && ok "Finish ends it with exit code 0" || bad "Finish did not end it"

written=$(find "$WORK/nobody" "$WORK/root" -mindepth 2 -newer "$WORK/marker" 2>/dev/null
    find /tmp /var/tmp /dev/shm -xdev -newer "$WORK/marker" -user nobody 2>/dev/null)
if [ -z "$written" ]; then
    ok "no file written: homes, runtime folders, /tmp, /var/tmp and /dev/shm untouched"
else
    bad "files written:"
    echo "$written" | sed 's/^/         /'
fi
exit $((FAILED > 0))

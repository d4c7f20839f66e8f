#!/usr/bin/env bash
# How long the real program takes to leave: from the click on Finish (or Cancel) to its
# window being gone, and to the process having ended. A measurement, not a test: it prints
# the figures of each case and fails only when the program did not end at all.
#
#   exit_timing.sh PROGRAM [ROUNDS]
#
# Cases, each in a network namespace of its own with only loopback (unshare --net) and a
# private Xvfb:
#   idle     Finish right after the start
#   probing  Update, then Cancel while the server waits for a device
#   stalled  Update; a "device" on loopback fetches the manifest and starts on the largest
#            image, then stops reading, as a receiver whose cable was pulled; the progress
#            window is closed with Esc and Cancel pressed while the server is stuck sending
# Exit codes: 0 measured, 1 a case failed, 77 skipped (not root, a tool missing).
set -uo pipefail
PROGRAM=$1
ROUNDS=${2:-3}
TITLE='Firmware updater for Orvane M1'

if [ "${3:-}" != --inside ]; then
    skip() { echo "exit timing: SKIPPED: $*"; exit 77; }
    [ "$(id -u)" -eq 0 ] || skip "a network namespace of its own needs root"
    for tool in unshare ip ss Xvfb xdotool python3; do
        command -v $tool >/dev/null 2>&1 || skip "$tool is not installed"
    done
    rc=0
    for c in idle probing stalled; do
        for ((r = 1; r <= ROUNDS; r++)); do
            timeout -k 5 90 unshare --net bash "$0" "$PROGRAM" 1 --inside "$c" || rc=1
        done
    done
    exit $rc
fi

CASE=$4
ip link set lo up
WORK=$(mktemp -d "${TMPDIR:-/tmp}/orvane-timing.XXXXXX")
PIDS=()
cleanup() {
    local p
    for p in "${PIDS[@]}"; do kill -KILL "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
    rm -rf "$WORK"
}
trap cleanup EXIT
fail() { echo "$CASE: $*"; exit 1; }

source "$(dirname "$0")/../lib/xvfb.sh"
orvane_start_xvfb "$WORK/xvfb.log" || fail "Xvfb did not start"
PIDS+=("$XVFB_PID")
export QT_QPA_PLATFORM=xcb

"$PROGRAM" >"$WORK/app.log" 2>&1 &
APP=$!
PIDS+=($APP)
WID=""
for _ in $(seq 100); do
    WID=$(xdotool search --onlyvisible --name "^$TITLE\$" 2>/dev/null | head -n 1)
    [ -n "$WID" ] && break
    sleep 0.1
done
[ -n "$WID" ] || fail "no window"
sleep 0.5
point() {  # X Y in template units of the main window
    local g w h
    g=$(xdotool getwindowgeometry --shell "$WID")
    w=$(echo "$g" | sed -n 's/^WIDTH=//p')
    h=$(echo "$g" | sed -n 's/^HEIGHT=//p')
    xdotool mousemove --window "$WID" $(($1 * w / 279)) $(($2 * h / 187))
}

case "$CASE" in
    idle) ;;
    probing)
        point 138 131
        xdotool click 1
        sleep 2
        ;;
    stalled)
        point 138 131
        xdotool click 1
        sleep 1
        # The device: the manifest, then the largest image through a tiny receive window
        # that is read no further, so that the server's send blocks.
        python3 - >"$WORK/device.log" 2>&1 <<'EOF' &
import socket, time
def get(path, read_all=True):
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    s.connect(("127.0.0.1", 20200))
    s.sendall(("GET %s HTTP/1.0\r\n\r\n" % path).encode())
    if read_all:
        data = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
        s.close()
        return data
    s.recv(1024)
    return s
print(get("/list.lst").decode(errors="replace"))
stuck = get("/dev/mtd/5", read_all=False)
time.sleep(120)
EOF
        PIDS+=($!)
        progress=""
        for _ in $(seq 100); do
            progress=$(xdotool search --onlyvisible --name '^Updating\.\.\.$' 2>/dev/null | head -n 1)
            [ -n "$progress" ] && break
            sleep 0.1
        done
        [ -n "$progress" ] || fail "no progress window"
        sleep 1
        xdotool windowfocus --sync "$progress" 2>/dev/null
        xdotool key Escape
        for _ in $(seq 50); do
            xdotool search --onlyvisible --name '^Updating\.\.\.$' >/dev/null 2>&1 || break
            sleep 0.1
        done
        sleep 0.5
        # The server is stuck in its send: its queue towards the device is full.
        ss -Htn 'sport = :20200' | awk '$3 > 100000 { found = 1 } END { exit !found }' ||
            fail "the server is not stuck sending: $(ss -Htn 'sport = :20200')"
        ;;
esac

point 242 171
sleep 0.3
# From the start of the click; xdotool itself takes some of that time (printed apart), and
# the program may well have ended before xdotool returns.
t0=$(date +%s%N)
xdotool click 1
tc=$(date +%s%N)
gone=""
while kill -0 "$APP" 2>/dev/null; do
    if [ -z "$gone" ] && ! xdotool search --onlyvisible --name "^$TITLE\$" >/dev/null 2>&1; then
        gone=$(date +%s%N)
    fi
    [ $(($(date +%s%N) - t0)) -gt 20000000000 ] && fail "still running 20 s after the click"
    sleep 0.01
done
t1=$(date +%s%N)
[ -n "$gone" ] || gone=$t1
wait "$APP"
rc=$?
printf '%-8s window gone after %5d ms, process ended after %5d ms (xdotool click took %d ms), exit code %d\n' \
    "$CASE" $(((gone - t0) / 1000000)) $(((t1 - t0) / 1000000)) $(((tc - t0) / 1000000)) "$rc"
exit 0

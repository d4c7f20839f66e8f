#!/usr/bin/env bash
# The whole update against the simulated receiver, as root, in two network namespaces made
# for the demo and removed on every way out:
#
#   orvane-demo-pc   ovdemo-pc   10.232.0.1/24   the updater
#   orvane-demo-dev  ovdemo-dev  10.232.0.2/24   orvane-m1-sim, the receiver
#
# The updater announces only into its own namespace, which has nothing but loopback and the
# link to the simulated receiver: this machine's real network never sees a datagram.
#
# With a display (DISPLAY set to a local display such as :0): the updater opens on it and
# you press Update yourself; it reaches the X server through its socket in /tmp/.X11-unix,
# which network namespaces do not separate (XAUTHORITY is passed on; a display over TCP,
# such as ssh's forwarding, cannot be reached from the namespace). Without one: a private
# Xvfb, the Update press made for you with xdotool, and screenshots of each step saved.
#
#   sudo tools/scripts/demo.sh [--build DIR] [--shots DIR] [--fault old-version|checksum-error]
#                              [--lang LOCALE] [--headless]
#
#   --build DIR   the build with bin/orvane-updater and bin/orvane-m1-sim (default build/linux)
#   --shots DIR   where the screenshots go without a display (default ./demo-screenshots)
#   --fault F     let the receiver refuse the old version or report a checksum error
#   --lang L      the updater's language, e.g. de_DE.UTF-8 (default: yours)
#   --headless    use Xvfb even when a display is there
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=$ROOT/build/linux
SHOTS=$PWD/demo-screenshots
FAULT=""
LANG_CHOICE=""
HEADLESS=0
while [ $# -gt 0 ]; do
    case "$1" in
        --build) BUILD=$(cd "$2" && pwd); shift 2 ;;
        --shots) SHOTS=$2; shift 2 ;;
        --fault) FAULT=$2; shift 2 ;;
        --lang) LANG_CHOICE=$2; shift 2 ;;
        --headless) HEADLESS=1; shift ;;
        -h|--help) sed -n '2,28p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "demo.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
    esac
done
UPDATER=$BUILD/bin/orvane-updater
SIM=$BUILD/bin/orvane-m1-sim
[ "$(id -u)" -eq 0 ] || { echo "demo.sh: run as root (the network namespaces need it)" >&2; exit 1; }
for f in "$UPDATER" "$SIM"; do
    [ -x "$f" ] || { echo "demo.sh: $f is missing; build first: cmake --preset linux && cmake --build --preset linux" >&2; exit 1; }
done
SIM_ARGS=()
case "$FAULT" in
    "") ;;
    old-version) SIM_ARGS+=(--old-version) ;;
    checksum-error) SIM_ARGS+=(--checksum-error) ;;
    *) echo "demo.sh: unknown fault $FAULT" >&2; exit 2 ;;
esac
[ -n "$LANG_CHOICE" ] && export LANG=$LANG_CHOICE LC_ALL= LANGUAGE=

PC_NS=orvane-demo-pc
DEV_NS=orvane-demo-dev
WORK=$(mktemp -d "${TMPDIR:-/tmp}/orvane-demo.XXXXXX")
PIDS=()
cleanup() {
    local p
    for p in "${PIDS[@]}"; do kill -TERM "$p" 2>/dev/null; done
    for p in "${PIDS[@]}"; do wait "$p" 2>/dev/null; done
    ip netns del "$PC_NS" 2>/dev/null
    ip netns del "$DEV_NS" 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

ip netns del "$PC_NS" 2>/dev/null
ip netns del "$DEV_NS" 2>/dev/null
ip netns add "$PC_NS" && ip netns add "$DEV_NS" &&
    ip -n "$PC_NS" link add ovdemo-pc type veth peer name ovdemo-dev netns "$DEV_NS" &&
    ip -n "$PC_NS" link set lo up &&
    ip -n "$PC_NS" addr add 10.232.0.1/24 brd + dev ovdemo-pc &&
    ip -n "$PC_NS" link set ovdemo-pc up &&
    ip -n "$DEV_NS" link set lo up &&
    ip -n "$DEV_NS" addr add 10.232.0.2/24 brd + dev ovdemo-dev &&
    ip -n "$DEV_NS" link set ovdemo-dev up ||
    { echo "demo.sh: could not make the namespaces" >&2; exit 1; }

# The receiver: waits for the announcement for as long as the updater makes them.
ip netns exec "$DEV_NS" "$SIM" --listen 10.232.0.255 --source 10.232.0.2 --wait 240 "${SIM_ARGS[@]}" \
    > >(sed -u 's/^/receiver | /') 2>&1 &
PIDS+=($!)
sleep 0.3

if [ -n "${DISPLAY:-}" ] && [ $HEADLESS -eq 0 ]; then
    echo "demo: the updater opens on $DISPLAY; press Update, watch the receiver below, then Finish."
    ip netns exec "$PC_NS" env DISPLAY="$DISPLAY" XAUTHORITY="${XAUTHORITY:-$HOME/.Xauthority}" \
        QT_QPA_PLATFORM=xcb "$UPDATER"
    echo "demo: the updater has ended."
    exit 0
fi

for tool in Xvfb xdotool import; do
    command -v $tool >/dev/null 2>&1 || { echo "demo.sh: no display and no $tool (Debian: xvfb xdotool imagemagick)" >&2; exit 1; }
done
mkdir -p "$SHOTS"
# Xvfb and the updater share the PC's namespace; a window manager, when there is one, draws
# the title bars with the icon.
exec 8<> <(:)
ip netns exec "$PC_NS" Xvfb -displayfd 8 -screen 0 1024x768x24 -nolisten tcp >"$WORK/xvfb.log" 2>&1 &
PIDS+=($!)
N=""
for _ in $(seq 100); do read -r -t 0.1 N <&8 && break; done
[ -n "$N" ] || { echo "demo.sh: Xvfb did not start" >&2; exit 1; }
export DISPLAY=:$N
in_pc() { ip netns exec "$PC_NS" env DISPLAY="$DISPLAY" "$@"; }
if command -v openbox >/dev/null 2>&1; then
    in_pc openbox >/dev/null 2>&1 &
    PIDS+=($!)
    sleep 0.5
fi
in_pc env QT_QPA_PLATFORM=xcb "$UPDATER" &
APP=$!
PIDS+=($APP)
TITLE_WID=""
for _ in $(seq 100); do
    TITLE_WID=$(in_pc xdotool search --onlyvisible --class orvane-updater 2>/dev/null | tail -n 1)
    [ -n "$TITLE_WID" ] && break
    sleep 0.1
done
[ -n "$TITLE_WID" ] || { echo "demo.sh: the updater window did not appear" >&2; exit 1; }
WID=$TITLE_WID
sleep 0.5
shot() { in_pc import -window root "$WORK/root.png" && convert "$WORK/root.png" -trim +repage "$SHOTS/$1.png" && echo "demo: saved $SHOTS/$1.png"; }
click() {  # X Y in the main window's template units
    local g w h
    g=$(in_pc xdotool getwindowgeometry --shell "$WID")
    w=$(echo "$g" | sed -n 's/^WIDTH=//p')
    h=$(echo "$g" | sed -n 's/^HEIGHT=//p')
    in_pc xdotool mousemove --window "$WID" $(($1 * w / 279)) $(($2 * h / 187)) click 1
}
shot 1-ready
# The about box: F1 (or the window's context menu, right click).
in_pc xdotool windowfocus --sync "$WID" 2>/dev/null
in_pc xdotool key F1
sleep 0.8
shot 2-about
in_pc xdotool key Escape
sleep 0.5
echo "demo: pressing Update for you"
click 138 131
sleep 1
shot 3-probing
for _ in $(seq 300); do
    [ "$(in_pc xdotool search --onlyvisible --class orvane-updater 2>/dev/null | wc -l)" -gt 1 ] && break
    sleep 0.1
done
sleep 1.5
shot 4-progress
for _ in $(seq 600); do
    [ "$(in_pc xdotool search --onlyvisible --class orvane-updater 2>/dev/null | wc -l)" -le 1 ] && break
    sleep 0.1
done
sleep 0.5
shot 5-outcome
echo "demo: pressing Finish"
click 242 171
for _ in $(seq 100); do kill -0 "$APP" 2>/dev/null || break; sleep 0.1; done
wait "$APP" 2>/dev/null
echo "demo: the updater has ended; screenshots in $SHOTS"

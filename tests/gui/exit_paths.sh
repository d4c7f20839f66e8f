#!/usr/bin/env bash
# Every way out of the real program ends it promptly and cleanly (exit code 0, within the
# teardown's bound), idle or in the middle of a run, and a second start leaves at once
# without a window of its own while the first goes on. Each case runs in a network
# namespace of its own with only loopback (unshare --net, gone with its last process), with
# a private Xvfb in it; no device is needed.
#
#   exit_paths.sh PROGRAM [--inside CASE]     (ORVANE_EXIT_CASES="a b" runs only those cases)
# Exit codes: 0 all passed, 1 a case failed, 77 skipped (not root, no unshare or Xvfb).
set -uo pipefail
PROGRAM=$1
TITLE='Firmware updater for Orvane M1'
CASES=(${ORVANE_EXIT_CASES:-finish_idle esc_idle altf4_idle cancel_probing esc_probing altf4_probing keys_probing second_instance destroyed_under_about})

if [ "${2:-}" != --inside ]; then
    skip() { echo "exit paths: SKIPPED: $*"; exit 77; }
    [ "$(id -u)" -eq 0 ] || skip "a network namespace of its own needs root"
    for tool in unshare ip ss Xvfb xdotool; do
        command -v $tool >/dev/null 2>&1 || skip "$tool is not installed"
    done
    failed=0
    for c in "${CASES[@]}"; do
        if timeout -k 5 60 unshare --net bash "$0" "$PROGRAM" --inside "$c"; then
            echo "  PASS $c"
        else
            echo "  FAIL $c"
            failed=$((failed + 1))
        fi
    done
    echo "exit paths: $(( ${#CASES[@]} - failed )) of ${#CASES[@]} passed"
    [ $failed -eq 0 ]
    exit
fi

CASE=$3
ip link set lo up
WORK=$(mktemp -d "${TMPDIR:-/tmp}/orvane-exit.XXXXXX")
PIDS=()
declare -A STATUS=()  # program PID -> how it ended, once reaped
cleanup() {
    local p
    for p in "${PIDS[@]}"; do kill -TERM "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
    rm -rf "$WORK"
}
trap cleanup EXIT
# reap PID: waits for an ended program once and records its exit status (a signal shows as
# 128 + its number, e.g. 134 for SIGABRT).
reap() {
    [ -n "${STATUS[$1]:-}" ] && return
    wait "$1"
    STATUS[$1]=$?
}
# A failure shows everything there is to know about it, since the work folder goes with
# the case: how each program ended, and what it and Xvfb printed.
fail() {
    local p
    echo "  $CASE: $*"
    for p in "${PROGRAMS[@]}"; do
        if kill -0 "$p" 2>/dev/null; then
            echo "    program $p: still running"
        else
            reap "$p"
            echo "    program $p: ended with status ${STATUS[$p]}"
        fi
    done
    sed 's/^/    app | /' "$WORK/app.log" 2>/dev/null
    sed 's/^/    xvfb | /' "$WORK/xvfb.log" 2>/dev/null
    exit 1
}
PROGRAMS=()

source "$(dirname "$0")/../lib/xvfb.sh"
orvane_start_xvfb "$WORK/xvfb.log" || fail "Xvfb did not start"
PIDS+=("$XVFB_PID")
export QT_QPA_PLATFORM=xcb

windows() { xdotool search --onlyvisible --name "^$TITLE\$" 2>/dev/null; }
start() {
    "$PROGRAM" >>"$WORK/app.log" 2>&1 &
    APP=$!
    PIDS+=($APP)
    PROGRAMS+=("$APP")
    WID=""
    for _ in $(seq 100); do
        WID=$(windows | head -n 1)
        [ -n "$WID" ] && return 0
        kill -0 "$APP" 2>/dev/null || fail "the program ended before showing its window"
        sleep 0.1
    done
    fail "no window"
}
click() {  # X Y in template units
    local g w h
    g=$(xdotool getwindowgeometry --shell "$WID")
    w=$(echo "$g" | sed -n 's/^WIDTH=//p')
    h=$(echo "$g" | sed -n 's/^HEIGHT=//p')
    xdotool mousemove --window "$WID" $(($1 * w / 279)) $(($2 * h / 187)) click 1
}
key() {
    xdotool windowfocus --sync "$WID" 2>/dev/null
    xdotool key "$1"
}
# ends_within SECONDS PID: the process ends in time with exit code 0.
ends_within() {
    local limit=$(($1 * 10)) i
    for ((i = 0; i < limit; i++)); do
        kill -0 "$2" 2>/dev/null || break
        sleep 0.1
    done
    kill -0 "$2" 2>/dev/null && fail "still running ${1}s after the way out"
    reap "$2"
    [ "${STATUS[$2]}" -eq 0 ] || fail "exit code ${STATUS[$2]}"
}
# The run's server listens (this namespace holds nothing else).
listening() { [ -n "$(ss -Htln 'sport = :20200')" ]; }
# run_started WHY: Update was pressed; waits until the run's server listens for a device,
# however slow a loaded machine is to start it.
run_started() {
    local i
    for ((i = 0; i < 100; i++)); do
        listening && return 0
        sleep 0.1
    done
    fail "$1"
}
probing() {
    click 138 131  # Update
    run_started "Update started no run"
}

start
case "$CASE" in
    finish_idle) click 242 171 ;;
    esc_idle) key Escape ;;
    altf4_idle) key alt+F4 ;;
    cancel_probing) probing; click 242 171 ;;
    esc_probing) probing; key Escape ;;
    altf4_probing) probing; key alt+F4 ;;
    keys_probing)
        # Update from the keyboard; then Space and Enter, which must reach no button: the
        # run goes on, and Cancel still ends it.
        key space
        run_started "Space on Update started no run"
        key space
        key Return
        key KP_Enter
        sleep 1
        kill -0 "$APP" 2>/dev/null || fail "Space or Enter during the run ended the program"
        [ "$(windows | wc -l)" -eq 1 ] || fail "the window is gone"
        listening || fail "the run ended"
        click 242 171
        ;;
    second_instance)
        FIRST=$APP
        "$PROGRAM" >>"$WORK/app.log" 2>&1 &
        SECOND=$!
        PIDS+=($SECOND)
        PROGRAMS+=("$SECOND")
        ends_within 3 "$SECOND"
        kill -0 "$FIRST" 2>/dev/null || fail "the first instance ended"
        [ "$(windows | wc -l)" -eq 1 ] || fail "a second window appeared"
        APP=$FIRST
        click 242 171
        ;;
    destroyed_under_about)
        # Another client destroys the main window during a run, under the about box: both
        # close, the run stops, the program ends, and a new start is no second instance.
        probing
        key F1
        sleep 1
        [ -n "$(xdotool search --onlyvisible --name '^Version Information$')" ] || fail "F1 opened no about box"
        xdotool windowclose "$WID"
        ends_within 8 "$APP"
        listening && fail "the run's server still listens"
        start
        click 242 171
        ;;
esac
# The teardown waits at most a few seconds for a worker: well within 8.
ends_within 8 "$APP"
exit 0

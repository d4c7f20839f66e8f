#!/usr/bin/env bash
# One whole update, end to end, with the Windows program: orvane-updater.exe under wine on a
# virtual display in one network namespace, the native simulated receiver orvane-m1-sim in
# another, the two joined by a veth pair on a private test subnet:
#
#   orvane-w32-pc   ow32-pc   10.232.0.1/24   wine, the updater and the test driver
#   orvane-w32-dev  ow32-dev  10.232.0.2/24   the receiver
#
# Listed after the cable the PC has 25 more addresses, each on an empty bridge of its own, as
# a PC with virtual adapters has: more than Winsock's interface list is first asked to hold.
#
# The driver (win32_updater_test, case UpdaterExeEndToEnd) starts the updater, presses
# Update, follows the texts through the progress window to "Update completed." and presses
# Finish. Both namespaces are removed on every way out.
#
# Usage: run_e2e_win32.sh <wine prefix> <driver.exe> <orvane-m1-sim>
# Exit codes: 0 passed, 1 failed, 2 bad command line, 77 skipped (not root, no namespaces,
# no native simulator).
set -uo pipefail

PC_NS=orvane-w32-pc
DEV_NS=orvane-w32-dev
PC_IF=ow32-pc
DEV_IF=ow32-dev
PC_ADDR=10.232.0.1
DEV_ADDR=10.232.0.2
BROADCAST=10.232.0.255

[ $# -eq 3 ] || { echo "usage: $0 <wine prefix> <driver.exe> <orvane-m1-sim>" >&2; exit 2; }
PREFIX=$1
DRIVER=$2
SIM=$3
HERE=$(cd "$(dirname "$0")" && pwd)

skip() { echo "e2e-win32: SKIPPED: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "making network namespaces needs root; run as root (./test.sh does)"
command -v ip >/dev/null 2>&1 || skip "the ip command (iproute2) is not installed"
[ -x "$SIM" ] || skip "no native simulator at $SIM (build the linux preset first: cmake --build --preset linux)"
[ -f "$DRIVER" ] || { echo "e2e-win32: no driver at $DRIVER" >&2; exit 2; }

# One run at a time on this machine: the namespace names are global.
if command -v flock >/dev/null 2>&1; then
    # In /run/lock, not TMPDIR: the namespace names are machine-wide, and test.sh gives each
    # run a TMPDIR of its own.
    { exec 9>"/run/lock/orvane-w32-e2e.lock"; } 2>/dev/null || exec 9>"/tmp/orvane-w32-e2e.lock"
    flock -w 300 9 || { echo "e2e-win32: another run holds the lock for 300 s" >&2; exit 1; }
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/orvane-w32-e2e.XXXXXX")
SIM_PID=""
remove_namespaces() {
    ip netns del "$PC_NS" 2>/dev/null
    ip netns del "$DEV_NS" 2>/dev/null
    return 0
}
cleanup() {
    [ -n "$SIM_PID" ] && kill -TERM "$SIM_PID" 2>/dev/null && wait "$SIM_PID" 2>/dev/null
    remove_namespaces
    rm -rf "$WORK"
}
trap cleanup EXIT

remove_namespaces
source "$HERE/../lib/test_hosts.sh"
orvane_make_test_hosts "$PC_NS" "$PC_IF" "$PC_ADDR" "$DEV_NS" "$DEV_IF" "$DEV_ADDR"
case $? in
0) ;;
77) skip "$ORVANE_HOSTS_WHY" ;;
*) echo "e2e-win32: could not set up the namespaces" >&2; exit 1 ;;
esac
seq 25 | awk '{ b = "ow32br" $1; print "link add " b " type bridge\naddr add 10.234." $1 ".1/24 brd + dev " b \
                "\nlink set " b " up" }' | ip -n "$PC_NS" -batch - || { echo "e2e-win32: no bridges" >&2; exit 1; }

# The receiver first, so that it hears the first announcement; wine's start-up and the
# driver's press take a few seconds, hence the long wait. Each request of the receiver waits
# 1.2 s: the window reads the device's latest report once a second, and a receiver faster
# than that would overwrite the manifest fetch before the window sees it (no progress window).
timeout -k 5 200 ip netns exec "$DEV_NS" "$SIM" --listen "$BROADCAST" --source "$DEV_ADDR" \
    --expect-host "$PC_ADDR" --wait 90 --timeout 30 --slow 1.2 >"$WORK/sim.log" 2>&1 &
SIM_PID=$!
for _ in $(seq 200); do
    grep -q "listening for the updater's announcement" "$WORK/sim.log" 2>/dev/null && break
    kill -0 "$SIM_PID" 2>/dev/null || break
    sleep 0.05
done

timeout -k 5 200 ip netns exec "$PC_NS" env ORVANE_W32_NETNS=1 ORVANE_W32_E2E=1 \
    bash "$HERE/run_on_display.sh" run "$PREFIX" "$DRIVER" --gtest_filter=UpdaterExeEndToEnd.* \
    >"$WORK/pc.log" 2>&1
pc_rc=$?
wait "$SIM_PID"
sim_rc=$?
SIM_PID=""
sed 's/^/  device | /' "$WORK/sim.log"
sed 's/^/  pc     | /' "$WORK/pc.log"

ok=1
if [ $sim_rc -ne 0 ]; then echo "e2e-win32: FAIL: the simulator exited with $sim_rc"; ok=0; fi
if [ $pc_rc -ne 0 ]; then echo "e2e-win32: FAIL: the driver exited with $pc_rc"; ok=0; fi
if [ $pc_rc -eq 0 ] && ! grep -q '\[       OK \] UpdaterExeEndToEnd.OneCompletedRun' "$WORK/pc.log"; then
    echo "e2e-win32: FAIL: the end-to-end case did not run"
    ok=0
fi
[ $ok -eq 1 ] && echo "e2e-win32: PASS"
[ $ok -eq 1 ]

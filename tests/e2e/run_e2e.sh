#!/usr/bin/env bash
# End-to-end runs of a whole update: the updater's side and the simulated receiver
# (orvane-m1-sim) on two test hosts, each a network namespace of its own, joined by a veth
# pair on a private test subnet:
#
#   orvane-e2e-pc   ove2e-pc   10.231.0.1/24                the updater's side
#   orvane-e2e-dev  ove2e-dev  10.231.0.2/24, 10.231.0.3/24 the receiver (.3: a second host)
#
# The updater announces on every interface it enumerates, so it only ever runs inside
# orvane-e2e-pc, which has nothing but loopback, the veth and empty bridges. Every namespace
# is removed on every way out (a leftover of an earlier run is removed first), and runs of
# this script on one machine take turns through a lock: the namespace names are machine-wide.
#
# Usage: run_e2e.sh --updater "CMD [ARGS]" --sim PATH [CASE...]
#   CMD is run as: CMD [ARGS] --timeout SECONDS. It must run one update run, print a line
#   ending in "outcome: NAME" (none, no device, failed, old version, completed) and exit.
#   Cases (default: all): completed checksum_error old_version vanish_retry forged_report
#   discovery fetch_twice_slow routes_gone behind_bridges
#
# Exit codes: 0 every case passed, 1 a case failed, 2 bad command line, 77 skipped (not
# root, or no network namespaces here).
set -uo pipefail

PC_NS=orvane-e2e-pc
DEV_NS=orvane-e2e-dev
PC_IF=ove2e-pc
DEV_IF=ove2e-dev
PC_ADDR=10.231.0.1
DEV_ADDR=10.231.0.2
SECOND_ADDR=10.231.0.3
BROADCAST=10.231.0.255
ALL_CASES=(completed checksum_error old_version vanish_retry forged_report discovery fetch_twice_slow routes_gone
           behind_bridges)

UPDATER=()
SIM=""
CASES=()
while [ $# -gt 0 ]; do
    case "$1" in
        --updater) read -r -a UPDATER <<<"${2:-}"; shift 2 ;;
        --sim) SIM=${2:-}; shift 2 ;;
        -h|--help) awk 'NR == 1 { next } /^#/ { sub(/^# ?/, ""); print; next } { exit }' "$0"; exit 0 ;;
        -*) echo "run_e2e.sh: unknown option $1" >&2; exit 2 ;;
        *) CASES+=("$1"); shift ;;
    esac
done
if [ ${#UPDATER[@]} -eq 0 ] || [ -z "$SIM" ]; then
    echo "run_e2e.sh: give --updater \"CMD\" and --sim PATH (see --help)" >&2
    exit 2
fi
[ ${#CASES[@]} -eq 0 ] && CASES=("${ALL_CASES[@]}")
for c in "${CASES[@]}"; do
    case " ${ALL_CASES[*]} " in *" $c "*) ;; *) echo "run_e2e.sh: unknown case $c" >&2; exit 2 ;; esac
done
for f in "${UPDATER[0]}" "$SIM"; do
    if [ ! -x "$f" ]; then echo "run_e2e.sh: $f is not an executable" >&2; exit 2; fi
done

skip() {
    echo "e2e: SKIPPED: $*"
    exit 77
}
[ "$(id -u)" -eq 0 ] || skip "making network namespaces needs root; run as root (./test.sh does)"
command -v ip >/dev/null 2>&1 || skip "the ip command (iproute2) is not installed"
command -v timeout >/dev/null 2>&1 || skip "the timeout command (coreutils) is not installed"

# One run at a time on this machine: the namespace names are global.
if command -v flock >/dev/null 2>&1; then
    # In /run/lock, not TMPDIR: the namespace names are machine-wide, and test.sh gives each
    # run a TMPDIR of its own.
    { exec 9>"/run/lock/orvane-e2e.lock"; } 2>/dev/null || exec 9>"/tmp/orvane-e2e.lock"
    flock -w 300 9 || { echo "e2e: another end-to-end run holds the lock for 300 s" >&2; exit 1; }
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/orvane-e2e.XXXXXX")
PIDS=()

remove_namespaces() {
    ip netns del "$PC_NS" 2>/dev/null
    ip netns del "$DEV_NS" 2>/dev/null
    ip netns del "$PC_NS-aside" 2>/dev/null
    return 0
}

cleanup() {
    local pid
    for pid in "${PIDS[@]}"; do
        kill -TERM "$pid" 2>/dev/null
    done
    for pid in "${PIDS[@]}"; do
        wait "$pid" 2>/dev/null
    done
    PIDS=()
    remove_namespaces
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'echo "e2e: interrupted" >&2; exit 130' INT
trap 'echo "e2e: terminated" >&2; exit 143' TERM

source "$(dirname "$0")/../lib/test_hosts.sh"
make_namespaces() {
    remove_namespaces
    orvane_make_test_hosts "$PC_NS" "$PC_IF" "$PC_ADDR" "$DEV_NS" "$DEV_IF" "$DEV_ADDR"
    case $? in
    0) ;;
    77) skip "$ORVANE_HOSTS_WHY" ;;
    *) return 1 ;;
    esac
    ip -n "$DEV_NS" addr add "$SECOND_ADDR/24" dev "$DEV_IF"
}

# The PC side's routes to the test subnet, as the kernel made them with its address: the
# subnet route and the broadcast route. Without them every announcement's sendto fails
# (ENETUNREACH), while the interface stays up with its address, so the announcer still lists
# it: as while a network manager reconfigures, or a cable is replugged.
pc_routes() {  # add|del
    ip -n "$PC_NS" route "$1" "${PC_ADDR%.*}.0/24" dev "$PC_IF" proto kernel scope link src "$PC_ADDR" &&
        ip -n "$PC_NS" route "$1" broadcast "$BROADCAST" dev "$PC_IF" table local proto kernel scope link \
            src "$PC_ADDR"
}
# Datagrams the PC side's kernel refused for want of a route (Ip OutNoRoutes).
pc_no_routes() {
    # shellcheck disable=SC2016  # awk's own fields
    ip netns exec "$PC_NS" awk '/^Ip:/ { if (!n) { for (i = 1; i <= NF; i++) if ($i == "OutNoRoutes") c = i; n = 1 }
                                         else print $c }' /proc/net/snmp
}

# Hooks of a case, set for its run_case call only: BEFORE_UPDATER runs just before the
# updater's side starts, WHILE_RUNNING in the background while it runs, AFTER_RUN once both
# sides ended. A hook that fails fails the case.
BEFORE_UPDATER=:
WHILE_RUNNING=:
AFTER_RUN=:

# routes_gone: the run starts with the routes gone. They come back once two announcements,
# 3 s apart, were refused (at most ROUTES_GONE_MAX_S later): the device can only hear a
# later pass.
ROUTES_GONE_MAX_S=15
routes_away() {
    pc_no_routes >"$WORK/no_routes.before"
    pc_routes del || { echo "  could not remove the PC side's routes"; return 1; }
    date +%s.%N >"$WORK/routes.gone"
}
routes_back_later() {
    local before end=$((SECONDS + ROUTES_GONE_MAX_S))
    before=$(cat "$WORK/no_routes.before")
    while [ $SECONDS -lt $end ] && [ $(($(pc_no_routes) - before)) -lt 2 ]; do
        sleep 0.05
    done
    pc_no_routes >"$WORK/no_routes.after"
    pc_routes add
    echo "routes to $BROADCAST restored after $(elapsed "$(cat "$WORK/routes.gone")" "$(now)") s" >"$WORK/routes.back"
}
routes_were_refused() {
    local refused
    refused=$(($(cat "$WORK/no_routes.after") - $(cat "$WORK/no_routes.before")))
    echo "  $(cat "$WORK/routes.back"); $refused announcement(s) refused for want of a route meanwhile"
    if [ "$refused" -lt 2 ]; then
        echo "  FAIL: fewer than two of the announcer's sends were refused while the routes were gone"
        return 1
    fi
}

# Empty bridges, a subnet each, listed before the cable to the receiver as a container engine's
# networks are. Interfaces are listed by index: the cable steps aside while they take the first.
bridges_before_cable() {  # COUNT
    ip netns add "$PC_NS-aside" && ip -n "$PC_NS" link set "$PC_IF" netns "$PC_NS-aside" &&
        seq "$1" | awk '{ b = "ovbr" $1; print "link add " b " index " $1 + 1 " type bridge\naddr add 10.233." \
                          $1 ".1/24 brd + dev " b "\nlink set " b " up" }' | ip -n "$PC_NS" -batch - &&
        ip -n "$PC_NS-aside" link set "$PC_IF" netns "$PC_NS" && ip netns del "$PC_NS-aside" &&
        ip -n "$PC_NS" addr add "$PC_ADDR/24" brd + dev "$PC_IF" && ip -n "$PC_NS" link set "$PC_IF" up
}

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }

# run_case NAME EXPECTED_OUTCOME UPDATER_TIMEOUT SIM_ARGS...
run_case() {
    local name=$1 expected=$2 updater_timeout=$3
    shift 3
    local sim_log=$WORK/$name.sim.log pc_log=$WORK/$name.pc.log
    local start sim_pid pc_pid sim_rc pc_rc outcome ok=1
    echo "== e2e $name: expect outcome \"$expected\", simulator exit 0"
    start=$(now)
    # The simulator first, so that it hears the very first announcement.
    timeout -k 5 90 ip netns exec "$DEV_NS" "$SIM" --listen "$BROADCAST" --source "$DEV_ADDR" \
        --expect-host "$PC_ADDR" --wait 20 --timeout 20 "$@" >"$sim_log" 2>&1 &
    sim_pid=$!
    PIDS+=("$sim_pid")
    local tries=0
    until grep -q "listening for the updater's announcement" "$sim_log" 2>/dev/null; do
        if ! kill -0 "$sim_pid" 2>/dev/null || [ $tries -ge 200 ]; then
            break
        fi
        sleep 0.05
        tries=$((tries + 1))
    done
    "$BEFORE_UPDATER" || ok=0
    timeout -k 5 90 ip netns exec "$PC_NS" "${UPDATER[@]}" --timeout "$updater_timeout" >"$pc_log" 2>&1 &
    pc_pid=$!
    PIDS+=("$pc_pid")
    "$WHILE_RUNNING" &
    local hook_pid=$!
    PIDS+=("$hook_pid")
    wait "$sim_pid"
    sim_rc=$?
    wait "$pc_pid"
    pc_rc=$?
    wait "$hook_pid"
    PIDS=()
    outcome=$(sed -n 's/.*outcome: //p' "$pc_log" | tail -n 1)
    sed 's/^/  device | /' "$sim_log"
    sed 's/^/  pc     | /' "$pc_log"
    if grep -q "refused the first connection" "$sim_log"; then
        echo "  note: the updater announced before its server listened; the device had to try again"
    fi
    "$AFTER_RUN" || ok=0
    if [ "$sim_rc" -ne 0 ]; then
        echo "  FAIL: the simulator exited with $sim_rc"
        ok=0
    fi
    if [ "$outcome" != "$expected" ]; then
        echo "  FAIL: the updater's outcome is \"${outcome:-nothing printed (exit $pc_rc)}\", expected \"$expected\""
        ok=0
    fi
    # 0 with an outcome, 1 without one; anything else is a crash, a sanitizer's report or
    # the time limit.
    local expected_rc=0
    [ "$expected" = none ] && expected_rc=1
    if [ "$pc_rc" -ne "$expected_rc" ]; then
        echo "  FAIL: the updater's side exited with $pc_rc, expected $expected_rc"
        ok=0
    fi
    if [ $ok -eq 1 ]; then
        echo "  PASS ($(elapsed "$start" "$(now)") s)"
        return 0
    fi
    return 1
}

make_namespaces || { echo "e2e: could not set up the test namespaces" >&2; exit 1; }

FAILED=0
for c in "${CASES[@]}"; do
    case "$c" in
        completed) run_case completed completed 40 ;;
        checksum_error) run_case checksum_error failed 40 --checksum-error=5 ;;
        old_version) run_case old_version "old version" 40 --old-version ;;
        vanish_retry) run_case vanish_retry completed 40 --vanish=5 --retry-after 1 ;;
        forged_report) run_case forged_report completed 40 --forge-from "$SECOND_ADDR" ;;
        # The announcement alone: the updater's own address on the test subnet, found by the
        # real interface enumeration, sent to the subnet's broadcast address from port
        # 20200. No device connects, so the run has no outcome when the updater gives up.
        discovery) run_case discovery none 2 --discover-only ;;
        # Slow enough (13 reports, 3.25 s) to outlast the announcer's 3-second pause: the
        # simulator then also checks that no announcement follows the manifest.
        fetch_twice_slow) run_case fetch_twice_slow completed 40 --fetch-twice=4 --slow 0.25 ;;
        # The announcer's first sends fail for want of a route; once the routes are back the
        # device hears it, within the simulator's 20-second wait, and the update completes.
        routes_gone)
            BEFORE_UPDATER=routes_away WHILE_RUNNING=routes_back_later AFTER_RUN=routes_were_refused \
                run_case routes_gone completed 40 ;;
        # The receiver behind the 70th interface, beyond the 64 datagrams of one pass.
        behind_bridges) bridges_before_cable "${ORVANE_E2E_BRIDGES:-69}" && run_case behind_bridges completed 40 &&
            make_namespaces ;;
    esac || FAILED=$((FAILED + 1))
done
echo "e2e: $(( ${#CASES[@]} - FAILED )) of ${#CASES[@]} case(s) passed"
[ $FAILED -eq 0 ]

#!/usr/bin/env bash
# The firewall opening on Linux against the real firewalld, never on this machine's own
# network or bus: Debian's firewalld, unpacked (not installed) into DEBS, runs with a private
# system bus (dbus-daemon with a configuration of its own) in a test host of its own, with a
# private /run; the receiver (orvane-m1-sim) is a second test host on a veth pair. Debian's
# polkitd, unpacked into DEBS as well, joins that bus only for the polkit sub-cases of
# "refused"; this machine's own polkitd and its rules are never used, whether installed or not:
#
#   orvane-fw-pc   ovfw-pc   10.232.0.1/24   the PC: firewalld (default zone public), the bus,
#                                            Xvfb, the real program
#   orvane-fw-dev  ovfw-dev  10.232.0.2/24   the receiver
#
# Cases (default: all):
#   update        refused before the program starts; a whole update with the real program
#                 (Update pressed under Xvfb) while its rule is in the zone; refused again
#                 after Finish, and nothing was ever made permanent
#   already_open  the port (or a range covering it) open in the zone: nothing added or removed
#   not_running   firewalld's name has no owner: only NameHasOwner is asked, nothing is
#                 activated; start-up times with no bus, a bus, and firewalld (printed)
#   refused       the program as an ordinary user, without polkit and with polkit but no
#                 agent: refused, the program works, the zone is unchanged, the change
#                 asked for once, every call without auto-start; allowed to open but
#                 refused at Finish: asked once, the runtime rules stay until a reload
#   hung          firewalld owns its name but answers nothing: one call waits out its time,
#                 no other is made, the program starts and ends
#   sigkill       killed: only a runtime rule remains, gone after a reload
#   ways_out      SIGTERM, SIGINT, SIGHUP, Esc, Alt+F4, the display going away (log-out)
#                 and SIGTERM during an update each remove the rule
#   backend       the firewalld opening's own checks (CHECK, tests/firewall/firewalld_test.cpp)
#                 against this firewalld
#
# Usage: run_firewalld.sh --program PATH --sim PATH --driver PATH --check PATH --debs DIR [CASE...]
#   --driver is tests/gui/xvfb_updater.sh; --debs holds firewalld, python3-firewall,
#   nftables, libnftables1, libnftnl11 and python3-nftables unpacked with dpkg -x, and for
#   "refused" also polkitd, libpolkit-gobject-1-0, libpolkit-agent-1-0 and libduktape207
#   (test.sh does it with orvane_unpack_debs).
# Exit codes: 0 passed, 1 a case failed, 2 bad command line, 77 skipped (with the reason).
set -uo pipefail

PC_NS=orvane-fw-pc
DEV_NS=orvane-fw-dev
PC_IF=ovfw-pc
DEV_IF=ovfw-dev
PC_ADDR=10.232.0.1
DEV_ADDR=10.232.0.2
BROADCAST=10.232.0.255
PORT=20200
RULE="rule family=\"ipv4\" source address=\"10.232.0.0/24\" port port=\"$PORT\" protocol=\"tcp\" accept"
TITLE='Firmware updater for Orvane M1'
ALL_CASES=(update already_open not_running refused hung sigkill ways_out backend)

PROGRAM="" SIM="" DRIVER="" CHECK="" DEBS="" INSIDE=0
CASES=()
while [ $# -gt 0 ]; do
    case "$1" in
        --program) PROGRAM=${2:-}; shift 2 ;;
        --sim) SIM=${2:-}; shift 2 ;;
        --driver) DRIVER=${2:-}; shift 2 ;;
        --check) CHECK=${2:-}; shift 2 ;;
        --debs) DEBS=${2:-}; shift 2 ;;
        --inside) INSIDE=1; shift ;;
        -h|--help) sed -n '2,/^[^#]/{/^#/p}' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        -*) echo "run_firewalld.sh: unknown option $1" >&2; exit 2 ;;
        *) CASES+=("$1"); shift ;;
    esac
done
[ ${#CASES[@]} -eq 0 ] && CASES=("${ALL_CASES[@]}")
for c in "${CASES[@]}"; do
    case " ${ALL_CASES[*]} " in *" $c "*) ;; *) echo "run_firewalld.sh: unknown case $c" >&2; exit 2 ;; esac
done
for f in "$PROGRAM" "$SIM" "$DRIVER" "$CHECK"; do
    [ -n "$f" ] && [ -e "$f" ] || { echo "run_firewalld.sh: give --program, --sim, --driver and --check (see --help)" >&2; exit 2; }
done
PY=/usr/bin/python3
# The test host's bus is at the system bus's usual path in its private /run; the rest of the
# suite points the programs at no system bus at all, which must not reach in here.
unset DBUS_SYSTEM_BUS_ADDRESS
# Absolute, for the commands that run elsewhere.
PROGRAM=$(readlink -f "$PROGRAM") SIM=$(readlink -f "$SIM") DRIVER=$(readlink -f "$DRIVER") CHECK=$(readlink -f "$CHECK")
[ -n "$DEBS" ] && DEBS=$(readlink -f "$DEBS")

skip() {
    echo "firewalld: SKIPPED: $*"
    exit 77
}

if [ $INSIDE -eq 0 ]; then
    # ---- On this machine: checks, the two test hosts, then the rest inside the PC's. ----
    [ "$(id -u)" -eq 0 ] || skip "network and mount namespaces need root; run as root (./test.sh does)"
    for tool in ip unshare nsenter setpriv timeout dbus-daemon dbus-monitor dbus-send Xvfb xdotool; do
        command -v $tool >/dev/null 2>&1 || skip "$tool is not installed"
    done
    $PY -c 'import dbus, gi' 2>/dev/null || skip "$PY lacks the dbus or gi module (python3-dbus, python3-gi)"
    [ -n "$DEBS" ] && [ -f "$DEBS/usr/sbin/firewalld" ] && [ -d "$DEBS/usr/lib/python3/dist-packages/nftables" ] &&
        compgen -G "$DEBS/usr/lib/*/libnftables.so.1*" >/dev/null ||
        skip "firewalld is not unpacked in ${DEBS:-(no --debs)}: orvane_unpack_debs DIR firewalld python3-firewall nftables libnftables1 libnftnl11 python3-nftables"
    # polkit's sub-cases run from the unpacked packages or the whole test is skipped: a
    # missing polkit must never let "refused" pass without them.
    if [[ " ${CASES[*]} " == *" refused "* ]]; then
        pk_get="orvane_unpack_debs DIR polkitd libpolkit-gobject-1-0 libpolkit-agent-1-0 libduktape207"
        [ -f "$DEBS/usr/lib/polkit-1/polkitd" ] && [ -f "$DEBS/usr/bin/pkcheck" ] &&
            [ -f "$DEBS/usr/share/dbus-1/system.d/org.freedesktop.PolicyKit1.conf" ] ||
            skip "polkit is not unpacked in $DEBS: $pk_get"
        pk_lib=$(dirname "$(compgen -G "$DEBS/usr/lib/*/libpolkit-gobject-1.so.0" | head -n 1)")
        # A library that is neither unpacked nor on this machine shows here, not as a
        # polkitd that never comes up.
        out=$(LD_LIBRARY_PATH=$pk_lib "$DEBS/usr/lib/polkit-1/polkitd" --help 2>&1 >/dev/null) ||
            skip "the unpacked polkitd does not run ($out): $pk_get"
        out=$(LD_LIBRARY_PATH=$pk_lib "$DEBS/usr/bin/pkcheck" --version 2>&1 >/dev/null) ||
            skip "the unpacked pkcheck does not run ($out): $pk_get"
    fi

    # One run at a time on this machine: the namespace names are global.
    # In /run/lock, not TMPDIR: the namespace names are machine-wide, and test.sh gives each
    # run a TMPDIR of its own.
    { exec 9>"/run/lock/orvane-firewalld.lock"; } 2>/dev/null || exec 9>"/tmp/orvane-firewalld.lock"
    flock -w 300 9 || { echo "firewalld: another run holds the lock for 300 s" >&2; exit 1; }

    remove_namespaces() {
        ip netns del "$PC_NS" 2>/dev/null
        ip netns del "$DEV_NS" 2>/dev/null
        return 0
    }
    INNER=""
    # Stopped from outside: the inside is told first and cleans up, then the test hosts go.
    stop_inner() {
        [ -n "$INNER" ] && kill -TERM "$INNER" 2>/dev/null && wait "$INNER" 2>/dev/null
        echo "firewalld: $1" >&2
        exit "$2"
    }
    trap remove_namespaces EXIT
    trap 'stop_inner interrupted 130' INT
    trap 'stop_inner terminated 143' TERM
    remove_namespaces
    source "$(dirname "$0")/../lib/test_hosts.sh"
    orvane_make_test_hosts "$PC_NS" "$PC_IF" "$PC_ADDR" "$DEV_NS" "$DEV_IF" "$DEV_ADDR"
    case $? in
    0) ;;
    77) skip "$ORVANE_HOSTS_WHY" ;;
    *) echo "firewalld: could not set up the test hosts" >&2; exit 1 ;;
    esac
    # The receiver's host stays reachable from inside through this descriptor (the private
    # /run in there hides /run/netns).
    exec 7<"/run/netns/$DEV_NS"
    # A PID namespace too: whatever the inside starts (firewalld, the bus, Xvfb, the program)
    # ends with it, however it ends; its shell gets SIGTERM first to clean up.
    timeout -k 10 900 ip netns exec "$PC_NS" unshare --mount --propagation private --pid --fork \
        --kill-child=SIGTERM --mount-proc bash "$0" --inside --program "$PROGRAM" --sim "$SIM" --driver "$DRIVER" --check "$CHECK" --debs "$DEBS" \
        "${CASES[@]}" &
    INNER=$!
    wait "$INNER"
    exit $?
fi

# ---- Inside the PC's host, with a mount namespace of its own. ----
WORK=$(mktemp -d "${TMPDIR:-/tmp}/orvane-firewalld.XXXXXX")
chmod 755 "$WORK"
PIDS=()
BUS_PID="" FW_PID="" XVFB_PID=""
cleanup() {
    local p
    for p in "${PIDS[@]}" $FW_PID $XVFB_PID $BUS_PID; do kill -TERM "$p" 2>/dev/null; done
    for p in "${PIDS[@]}" $FW_PID $XVFB_PID $BUS_PID; do wait "$p" 2>/dev/null; done
    [ -n "${ORVANE_KEEP_WORK:-}" ] && echo "kept $WORK" || rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 143' TERM
trap 'exit 130' INT

mount -t tmpfs -o mode=755 tmpfs /run || { echo "firewalld: no private /run" >&2; exit 1; }
mkdir -p /run/dbus
# Only firewalld and firewall-cmd see the unpacked packages.
FW_ENV=(env "PYTHONPATH=$DEBS/usr/lib/python3/dist-packages"
        "LD_LIBRARY_PATH=$(dirname "$(compgen -G "$DEBS/usr/lib/*/libnftables.so.1*" | head -n 1)")"
        "PATH=$DEBS/usr/sbin:$PATH")
export LANG=C.UTF-8 LC_ALL= LANGUAGE=
# The program's own fonts and settings go here, not into root's home.
export HOME=$WORK/home XDG_RUNTIME_DIR=$WORK/xdg
mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"

# polkit for the sub-cases of "refused": Debian's polkitd and pkcheck from DEBS, never this
# machine's. polkitd looks for its actions and rules only at the paths it was built with and
# drops to the user "polkitd"; both are arranged in this mount namespace alone, so this
# machine stays as it was whether polkit is installed on it or not. PK_PROBLEM says what
# could not be arranged, and the case fails with it.
PK_ENV=(env "LD_LIBRARY_PATH=$(dirname "$(compgen -G "$DEBS/usr/lib/*/libpolkit-gobject-1.so.0" | head -n 1)")")
PK_PROBLEM=""
prepare_polkit() {
    local uid=999 gid
    # The user, in copies of passwd and group where this machine has none. Before the bus
    # starts: the bus reads it too, for polkit's bus policy.
    if ! getent passwd polkitd >/dev/null; then
        gid=$(getent group polkitd | cut -d: -f3)
        while getent passwd "$uid" >/dev/null || { [ -z "$gid" ] && getent group "$uid" >/dev/null; }; do
            uid=$((uid - 1))
            [ "$uid" -gt 100 ] || { PK_PROBLEM="no free id for the polkitd user"; return; }
        done
        if [ -z "$gid" ]; then
            gid=$uid
            { cp /etc/group "$WORK/group" && echo "polkitd:x:$gid:" >>"$WORK/group" &&
                mount --bind "$WORK/group" /etc/group; } || { PK_PROBLEM="could not add the group polkitd"; return; }
        fi
        { cp /etc/passwd "$WORK/passwd" && echo "polkitd:x:$uid:$gid:polkit:/nonexistent:/usr/sbin/nologin" >>"$WORK/passwd" &&
            mount --bind "$WORK/passwd" /etc/passwd; } || { PK_PROBLEM="could not add the user polkitd"; return; }
        getent passwd polkitd >/dev/null || { PK_PROBLEM="the user polkitd added to /etc/passwd is not found"; return; }
    fi
    # firewalld's actions, and no rules but the ones the case writes.
    mkdir -p "$WORK/pk-actions" "$WORK/pk-rules"
    cp "$DEBS/usr/share/polkit-1/actions/org.fedoraproject.FirewallD1.desktop.policy.choice" \
        "$WORK/pk-actions/org.fedoraproject.FirewallD1.policy" || { PK_PROBLEM="firewalld's polkit actions are missing"; return; }
    # Where polkit is not installed its folders do not exist: a read-only overlay on
    # /usr/share adds them.
    if [ ! -d /usr/share/polkit-1/actions ] || [ ! -d /usr/share/polkit-1/rules.d ]; then
        mkdir -p "$WORK/pk-share/polkit-1/actions" "$WORK/pk-share/polkit-1/rules.d"
        mount -t overlay orvane-polkit -o "lowerdir=$WORK/pk-share:/usr/share" /usr/share ||
            { PK_PROBLEM="could not add polkit's folders to /usr/share"; return; }
    fi
    { mount --bind "$WORK/pk-actions" /usr/share/polkit-1/actions &&
        mount --bind "$WORK/pk-rules" /usr/share/polkit-1/rules.d &&
        { [ ! -d /etc/polkit-1/rules.d ] || mount --bind "$WORK/pk-rules" /etc/polkit-1/rules.d; }; } ||
        PK_PROBLEM="could not give polkit its actions and rules"
}
[[ " ${CASES[*]} " == *" refused "* ]] && prepare_polkit

# A system bus of its own: the system bus's rules, firewalld's own policy file, and an
# activation trap for firewalld's name (it would only create a file) that the program must
# never spring.
mkdir -p "$WORK/services"
cat >"$WORK/services/org.fedoraproject.FirewallD1.service" <<EOF
[D-BUS Service]
Name=org.fedoraproject.FirewallD1
Exec=/usr/bin/touch $WORK/activated
User=root
EOF
cat >"$WORK/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=/run/dbus/system_bus_socket</listen>
  <auth>EXTERNAL</auth>
  <servicedir>$WORK/services</servicedir>
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Introspectable"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Properties"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Peer"/>
  </policy>
  <policy user="root">
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Monitoring"/>
  </policy>
  <include>$DEBS/usr/share/dbus-1/system.d/FirewallD.conf</include>
  <include ignore_missing="yes">$DEBS/usr/share/dbus-1/system.d/org.freedesktop.PolicyKit1.conf</include>
</busconfig>
EOF
start_bus() {
    dbus-daemon --config-file="$WORK/bus.conf" --nofork --nopidfile >>"$WORK/bus.log" 2>&1 &
    BUS_PID=$!
    for _ in $(seq 100); do [ -S /run/dbus/system_bus_socket ] && return 0; sleep 0.05; done
    echo "firewalld: the private bus did not start: $(cat "$WORK/bus.log")" >&2
    exit 1
}
stop_bus() {
    kill -TERM "$BUS_PID" 2>/dev/null && wait "$BUS_PID" 2>/dev/null
    BUS_PID=""
    rm -f /run/dbus/system_bus_socket
}

fwcmd() { "${FW_ENV[@]}" $PY "$DEBS/usr/bin/firewall-cmd" "$@" 2>&1; }
start_firewalld() {
    rm -rf "$WORK/etc"
    mkdir -p "$WORK/etc"
    cp -r "$DEBS/etc/firewalld" "$WORK/etc/"
    "${FW_ENV[@]}" $PY "$DEBS/usr/sbin/firewalld" --nofork --nopid --system-config "$WORK/etc/firewalld" \
        --default-config "$DEBS/usr/lib/firewalld" --log-file "$WORK/firewalld.log" >>"$WORK/firewalld.out" 2>&1 &
    FW_PID=$!
    # Waits for the name on the bus before firewall-cmd asks anything: its calls would
    # spring the activation trap while the name has no owner yet.
    for _ in $(seq 150); do
        if dbus-send --system --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
            org.freedesktop.DBus.NameHasOwner string:org.fedoraproject.FirewallD1 2>/dev/null | grep -q 'boolean true'; then
            [ "$(fwcmd --state)" = running ] && return 0
        fi
        kill -0 "$FW_PID" 2>/dev/null || break
        sleep 0.1
    done
    echo "firewalld: firewalld did not start:" >&2
    cat "$WORK/firewalld.out" "$WORK/firewalld.log" >&2
    exit 1
}
stop_firewalld() {
    [ -n "$FW_PID" ] || return 0
    kill -TERM "$FW_PID" 2>/dev/null && wait "$FW_PID" 2>/dev/null
    FW_PID=""
}

source "$(dirname "$0")/../lib/xvfb.sh"
orvane_start_xvfb "$WORK/xvfb.log" ||
    { echo "firewalld: Xvfb did not start: $(cat "$WORK/xvfb.log")" >&2; exit 1; }
export QT_QPA_PLATFORM=xcb

dev() { nsenter --net=/proc/self/fd/7 "$@"; }

# probe: what the receiver gets when it connects to the port, while a listener waits there.
probe() {
    local listener result
    $PY -c "
import socket, time
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(('0.0.0.0', $PORT))
s.listen(4)
print('listening', flush=True)
time.sleep(20)" >"$WORK/listener.log" 2>&1 &
    listener=$!
    for _ in $(seq 50); do grep -q listening "$WORK/listener.log" 2>/dev/null && break; sleep 0.05; done
    result=$(dev $PY -c "
import errno, socket
s = socket.socket()
s.settimeout(3)
try:
    s.connect(('$PC_ADDR', $PORT))
    print('connected')
except OSError as e:
    print({errno.EHOSTUNREACH: 'no route to host', errno.ECONNREFUSED: 'connection refused'}.get(e.errno, str(e)))")
    kill "$listener" 2>/dev/null
    wait "$listener" 2>/dev/null
    echo "$result"
}

FAILS=0
CASE=""
fail() {
    echo "  FAIL ($CASE): $*"
    FAILS=$((FAILS + 1))
}
expect_eq() {  # WHAT ACTUAL EXPECTED
    if [ "$2" = "$3" ]; then echo "  ok: $1: \"$2\""; else fail "$1: \"$2\", expected \"$3\""; fi
}
rich_rules() { fwcmd --zone=public --list-rich-rules; }

now_ms() { date +%s%3N; }
APP=""
# start_app [USER]: the real program; waits for its window. Sets APP and STARTUP_MS.
start_app() {
    local t0 wid
    t0=$(now_ms)
    # A background job of a script starts with SIGINT ignored, which the program keeps
    # ignoring; the desktop's programs start with it at its default.
    local run=("$PY" -c 'import os, signal, sys
signal.signal(signal.SIGINT, signal.SIG_DFL)
os.execv(sys.argv[1], sys.argv[1:])' "$PROGRAM")
    if [ -n "${1:-}" ]; then
        setpriv --reuid="$1" --regid="$1" --clear-groups env HOME="$WORK/home-$1" XDG_RUNTIME_DIR="$WORK/xdg-$1" \
            "${run[@]}" >>"$WORK/app.log" 2>&1 &
    else
        "${run[@]}" >>"$WORK/app.log" 2>&1 &
    fi
    APP=$!
    PIDS+=("$APP")
    for _ in $(seq 600); do
        wid=$(xdotool search --onlyvisible --name "^$TITLE\$" 2>/dev/null | head -n 1)
        if [ -n "$wid" ]; then
            WID=$wid
            STARTUP_MS=$(($(now_ms) - t0))
            return 0
        fi
        kill -0 "$APP" 2>/dev/null || break
        sleep 0.02
    done
    fail "the program showed no window"
    sed 's/^/    app | /' "$WORK/app.log"
    return 1
}
click() {  # X Y in template units (279 by 187)
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
finish() { click 242 171; }
# app_ends [CODE]: the program ends within 10 s with exit code CODE (default 0).
app_ends() {
    local rc
    for _ in $(seq 100); do kill -0 "$APP" 2>/dev/null || break; sleep 0.1; done
    if kill -0 "$APP" 2>/dev/null; then
        fail "the program is still running 10 s after the way out"
        kill -KILL "$APP"
    fi
    wait "$APP" 2>/dev/null
    rc=$?
    [ "$rc" -eq "${1:-0}" ] || { fail "the program exited with $rc"; sed 's/^/    app | /' "$WORK/app.log"; }
    : >"$WORK/app.log"
}

start_bus

case_update() {
    start_firewalld
    expect_eq "the receiver before the program starts" "$(probe)" "no route to host"
    dev "$SIM" --listen "$BROADCAST" --source "$DEV_ADDR" --expect-host "$PC_ADDR" --wait 60 --timeout 30 \
        >"$WORK/sim.log" 2>&1 &
    local sim=$! drv seen=""
    PIDS+=("$sim")
    for _ in $(seq 100); do grep -q "listening for the updater's announcement" "$WORK/sim.log" && break; sleep 0.05; done
    bash "$DRIVER" "$PROGRAM" - --timeout 60 >"$WORK/driver.log" 2>&1 &
    drv=$!
    PIDS+=("$drv")
    # The rule, as firewalld lists it, while the program runs.
    while kill -0 "$drv" 2>/dev/null; do
        [ -z "$seen" ] && seen=$(rich_rules)
        sleep 0.2
    done
    wait "$drv"
    local drv_rc=$?
    wait "$sim"
    local sim_rc=$?
    sed 's/^/    device | /' "$WORK/sim.log"
    sed 's/^/    pc     | /' "$WORK/driver.log"
    expect_eq "the zone's rich rules while the program runs" "$seen" "$RULE"
    expect_eq "the receiver's exit code (0: the whole update)" "$sim_rc" 0
    expect_eq "the program's outcome" "$(sed -n 's/^outcome: //p' "$WORK/driver.log")" completed
    expect_eq "the driver (the program ended after Finish with 0)" "$drv_rc" 0
    expect_eq "the zone's rich rules after Finish" "$(rich_rules)" ""
    expect_eq "the permanent rich rules" "$(fwcmd --permanent --zone=public --list-rich-rules)" ""
    expect_eq "the receiver after Finish" "$(probe)" "no route to host"
    stop_firewalld
}

case_already_open() {
    start_firewalld
    local open
    for open in "$PORT/tcp" "1025-65535/tcp"; do
        fwcmd --zone=public --add-port="$open" >/dev/null
        start_app || continue
        expect_eq "rich rules with $open open" "$(rich_rules)" ""
        expect_eq "ports with $open open, while the program runs" "$(fwcmd --zone=public --list-ports)" "$open"
        expect_eq "the receiver" "$(probe)" "connected"
        finish
        app_ends
        expect_eq "ports with $open open, after Finish" "$(fwcmd --zone=public --list-ports)" "$open"
        fwcmd --zone=public --remove-port="$open" >/dev/null
    done
    # A zone that lets everything in: nothing to open either.
    fwcmd --zone=trusted --change-interface="$PC_IF" >/dev/null
    if start_app; then
        expect_eq "rich rules of the trusted zone" "$(fwcmd --zone=trusted --list-rich-rules)" ""
        finish
        app_ends
    fi
    fwcmd --zone=trusted --remove-interface="$PC_IF" >/dev/null
    stop_firewalld
}

# Start-up times: median of five starts, from the start to the window on screen.
median_startup() {
    local times=() i
    for i in 1 2 3 4 5; do
        start_app || return
        times+=("$STARTUP_MS")
        finish
        app_ends
    done
    printf '%s\n' "${times[@]}" | sort -n | sed -n 3p
}

case_not_running() {
    local monitor t_nobus t_bus t_fw t_open
    dbus-monitor --system >"$WORK/monitor.log" 2>&1 &
    monitor=$!
    PIDS+=("$monitor")
    sleep 0.5
    start_app || return
    finish
    app_ends
    sleep 0.3
    kill "$monitor"
    wait "$monitor" 2>/dev/null
    if grep -q "member=NameHasOwner" "$WORK/monitor.log" && grep -q 'string "org.fedoraproject.FirewallD1"' "$WORK/monitor.log"; then
        echo "  ok: the program asked the bus NameHasOwner(\"org.fedoraproject.FirewallD1\")"
    else
        fail "no NameHasOwner for firewalld's name on the bus"
    fi
    if grep -q "destination=org.fedoraproject.FirewallD1" "$WORK/monitor.log"; then
        fail "a message was sent to firewalld's name without an owner:"
        grep -A2 "destination=org.fedoraproject.FirewallD1" "$WORK/monitor.log" | sed 's/^/    /'
    else
        echo "  ok: nothing was sent to firewalld's name"
    fi
    if [ -e "$WORK/activated" ]; then fail "firewalld was activated"; else echo "  ok: nothing activated"; fi
    # The trap works: a call with auto-start springs it.
    timeout 3 dbus-send --system --print-reply --dest=org.fedoraproject.FirewallD1 /org/fedoraproject/FirewallD1 \
        org.fedoraproject.FirewallD1.getDefaultZone >/dev/null 2>&1
    for _ in $(seq 20); do [ -e "$WORK/activated" ] && break; sleep 0.1; done
    [ -e "$WORK/activated" ] && echo "  ok: (control) an auto-started call does activate the trap" ||
        fail "(control) the activation trap did not work"
    rm -f "$WORK/activated"

    t_bus=$(median_startup)
    # The opening alone, timed in the back-end's own test program.
    ORVANE_FIREWALLD_NOT_RUNNING=1 "$CHECK" --gtest_filter='FirewalldNotRunningTest.*' >"$WORK/check.log" 2>&1 ||
        { fail "the back-end's check without firewalld failed"; sed 's/^/    /' "$WORK/check.log"; }
    grep '^opening' "$WORK/check.log" | sed 's/^/  /'
    stop_bus
    t_nobus=$(median_startup)
    start_bus
    start_firewalld
    fwcmd --zone=public --add-port="$PORT/tcp" >/dev/null
    t_open=$(median_startup)
    fwcmd --zone=public --remove-port="$PORT/tcp" >/dev/null
    t_fw=$(median_startup)
    stop_firewalld
    echo "  start-up to the window (median of 5): no system bus ${t_nobus} ms, bus without firewalld ${t_bus} ms," \
         "firewalld with the port open ${t_open} ms, firewalld adding the rule ${t_fw} ms"
}

# call_flags FILE: for each method call in a dbus-monitor --binary capture, its member and
# the header flags that matter here: "no-auto-start" (0x2) and "interactive" (0x4).
call_flags() {
    $PY - "$1" <<'PY'
import struct, sys
data = open(sys.argv[1], 'rb').read()
pos = 0
while pos + 16 <= len(data):
    order = '<' if data[pos:pos + 1] == b'l' else '>'
    kind, flags = data[pos + 1], data[pos + 2]
    body_len, _, fields_len = struct.unpack(order + 'III', data[pos + 4:pos + 16])
    end_fields = pos + 16 + fields_len
    member = ''
    i = pos + 16
    while i < end_fields:
        i = pos + ((i - pos + 7) & ~7)
        code, sig_len = data[i], data[i + 1]
        sig = data[i + 2:i + 2 + sig_len].decode()
        i += 3 + sig_len
        if sig in ('s', 'o'):
            i = pos + ((i - pos + 3) & ~3)
            (n,) = struct.unpack(order + 'I', data[i:i + 4])
            if code == 3:
                member = data[i + 4:i + 4 + n].decode()
            i += 5 + n
        elif sig == 'g':
            i += 2 + data[i]
        elif sig == 'u':
            i = pos + ((i - pos + 3) & ~3) + 4
        else:
            break
    if kind == 1:
        names = [n for bit, n in ((2, 'no-auto-start'), (4, 'interactive')) if flags & bit]
        print(member, ','.join(names) or '-')
    pos = pos + ((16 + fields_len + 7) & ~7) + body_len
PY
}

# refused_run LABEL: the program as an ordinary user (nobody), Update pressed, Finish; the
# zone compared before, during and after, and firewalld's answers taken from the bus.
refused_run() {
    local before during after monitor binary answer calls
    before=$(fwcmd --zone=public --list-all)
    dbus-monitor --system >"$WORK/monitor.log" 2>&1 &
    monitor=$!
    dbus-monitor --system --binary >"$WORK/monitor.bin" 2>/dev/null &
    binary=$!
    PIDS+=("$monitor" "$binary")
    sleep 0.5
    if start_app 65534; then
        during=$(fwcmd --zone=public --list-all)
        click 138 131  # Update: the program goes on
        sleep 1
        finish
        app_ends
    fi
    sleep 0.3
    kill "$monitor" "$binary"
    wait "$monitor" "$binary" 2>/dev/null
    after=$(fwcmd --zone=public --list-all)
    # How the program's calls to firewalld were flagged (the monitor's own and
    # firewall-cmd's calls are told apart by their members).
    call_flags "$WORK/monitor.bin" >"$WORK/flags.log"
    local m
    for m in getZoneOfInterface queryPort addRichRule; do
        grep -q "^$m " "$WORK/flags.log" || continue
        expect_eq "$1: the flags of $m" "$(grep "^$m " "$WORK/flags.log" | sort -u | cut -d' ' -f2 | tr '\n' ' ')" \
            "$([ $m = addRichRule ] && echo 'no-auto-start,interactive ' || echo 'no-auto-start ')"
    done
    answer=$(grep -A1 "^error .*error_name=org.fedoraproject" "$WORK/monitor.log" |
        sed -n 's/.*error_name=\([^ ]*\).*/\1/p;s/^ *string "\(.*\)"$/\1/p' | head -n 2 | tr '\n' ' ')
    if [ -n "$answer" ]; then echo "  ok: $1: firewalld answered: $answer"; else fail "$1: firewalld refused nothing"; fi
    REFUSED_ANSWER=$answer
    expect_eq "$1: the zone while the program runs (unchanged)" "$([ "$during" = "$before" ] && echo yes)" yes
    expect_eq "$1: the zone after Finish (unchanged)" "$([ "$after" = "$before" ] && echo yes)" yes
    calls=$(grep -c "member=addRichRule" "$WORK/monitor.log")
    echo "  $1: addRichRule asked $calls time(s)"
    REFUSED_ADD_CALLS=$calls
}

# polkit_says yes|no: whether polkit lets nobody change firewalld's configuration (a rule
# file that polkitd picks up by itself); waits until polkit answers so.
polkit_says() {
    # pkcheck's exit codes: 0 authorized, 1 not authorized; others are errors, or a
    # password wanted, which neither rule gives.
    local result=NO want=1 rc
    [ "$1" = yes ] && result=YES want=0
    printf '%s\n' 'polkit.addRule(function(action, subject) {' \
        '    if (action.id == "org.fedoraproject.FirewallD1.config" && subject.user == "nobody") {' \
        "        return polkit.Result.$result;" '    }' '});' >"$WORK/pk-rules/50-orvane-test.rules"
    for _ in $(seq 50); do
        setpriv --reuid=65534 --regid=65534 --clear-groups "${PK_ENV[@]}" sh -c \
            'exec "$0" --action-id org.fedoraproject.FirewallD1.config --process $$' "$DEBS/usr/bin/pkcheck" >/dev/null 2>&1
        rc=$?
        if [ $rc -eq $want ]; then
            echo "  ok: polkit answers nobody's pkcheck for org.fedoraproject.FirewallD1.config with exit code $rc ($1)"
            return 0
        fi
        sleep 0.1
    done
    fail "polkit did not take up its rule ($1): pkcheck's exit code $rc"
}

case_refused() {
    mkdir -p "$WORK/home-65534" "$WORK/xdg-65534"
    chown 65534:65534 "$WORK/home-65534" "$WORK/xdg-65534"
    chmod 700 "$WORK/xdg-65534"
    start_firewalld
    # No polkit on the bus: firewalld refuses every call of a caller that is not root.
    refused_run "no polkit"
    expect_eq "no polkit: addRichRule calls" "$REFUSED_ADD_CALLS" 0

    # polkit without an agent (no desktop session here): the queries are allowed, the change
    # is refused at once, and asked for only once although two subnets are closed.
    [ -z "$PK_PROBLEM" ] || { fail "polkit: $PK_PROBLEM"; stop_firewalld; return; }
    # With its debug output: the log is shown when it does not come up.
    "${PK_ENV[@]}" "$DEBS/usr/lib/polkit-1/polkitd" >"$WORK/polkitd.log" 2>&1 &
    local pk=$! up=""
    PIDS+=("$pk")
    for _ in $(seq 100); do
        if dbus-send --system --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
            org.freedesktop.DBus.NameHasOwner string:org.freedesktop.PolicyKit1 2>/dev/null | grep -q 'boolean true'; then
            up=1
            break
        fi
        kill -0 "$pk" 2>/dev/null || break
        sleep 0.1
    done
    if [ -z "$up" ]; then
        fail "polkitd did not come up on the bus:"
        sed 's/^/    polkitd | /' "$WORK/polkitd.log"
        kill "$pk" 2>/dev/null
        wait "$pk" 2>/dev/null
        stop_firewalld
        return
    fi
    echo "  ok: polkitd from $DEBS owns org.freedesktop.PolicyKit1, as user $(ps -o user= -p "$pk")"
    ip link add ovfw-d1 type veth peer name ovfw-e1 && ip addr add 10.233.1.1/24 brd + dev ovfw-d1 &&
        ip link set ovfw-e1 up && ip link set ovfw-d1 up || fail "could not make interface ovfw-d1"
    refused_run "polkit, no agent"
    expect_eq "polkit, no agent: addRichRule calls" "$REFUSED_ADD_CALLS" 1
    # The refusal came from polkit, not from firewalld's own check for root.
    case "$REFUSED_ANSWER" in
        *"(polkit)"*) echo "  ok: polkit, no agent: the refusal is polkit's" ;;
        *) fail "polkit, no agent: the refusal is not polkit's: $REFUSED_ANSWER" ;;
    esac

    # Allowed to open but refused at Finish (the authorization ran out meanwhile and the
    # user cancelled): the closing is asked for once, and the runtime rules stay until a
    # reload.
    polkit_says yes
    if start_app 65534; then
        expect_eq "allowed: the rich rules" "$(rich_rules | sort | tr '\n' ' ')" \
            "$(printf '%s\n' "$RULE" "${RULE//10.232.0.0/10.233.1.0}" | sort | tr '\n' ' ')"
        polkit_says no
        dbus-monitor --system >"$WORK/monitor.log" 2>&1 &
        local monitor=$!
        PIDS+=("$monitor")
        sleep 0.5
        finish
        app_ends
        kill "$monitor"
        wait "$monitor" 2>/dev/null
        expect_eq "refused at Finish: removeRichRule calls" "$(grep -c "member=removeRichRule" "$WORK/monitor.log")" 1
        expect_eq "refused at Finish: the rich rules that stay" "$(rich_rules | wc -l)" 2
        fwcmd --reload >/dev/null
        expect_eq "the rich rules after a reload" "$(rich_rules)" ""
    fi
    rm -f "$WORK/pk-rules/50-orvane-test.rules"
    ip link del ovfw-d1
    kill "$pk"
    wait "$pk" 2>/dev/null
    stop_firewalld
}

case_hung() {
    start_firewalld
    ip link add ovfw-d1 type veth peer name ovfw-e1 && ip addr add 10.233.1.1/24 brd + dev ovfw-d1 &&
        ip link set ovfw-e1 up && ip link set ovfw-d1 up || { fail "could not make interface ovfw-d1"; return; }
    local monitor calls
    dbus-monitor --system >"$WORK/monitor.log" 2>&1 &
    monitor=$!
    PIDS+=("$monitor")
    sleep 0.5
    # firewalld owns its name but answers nothing.
    kill -STOP "$FW_PID"
    if start_app; then
        echo "  the window came after ${STARTUP_MS} ms"
        finish
        app_ends
    fi
    kill -CONT "$FW_PID"
    kill "$monitor"
    wait "$monitor" 2>/dev/null
    calls=$(grep -c "destination=org.fedoraproject.FirewallD1 .*member=" "$WORK/monitor.log")
    expect_eq "calls to firewalld (the first went unanswered; two interfaces)" "$calls" 1
    expect_eq "the rich rules" "$(rich_rules)" ""
    ip link del ovfw-d1
    stop_firewalld
}

case_sigkill() {
    start_firewalld
    start_app || return
    expect_eq "the runtime rich rules" "$(rich_rules)" "$RULE"
    kill -KILL "$APP"
    app_ends 137
    expect_eq "the runtime rich rules after SIGKILL" "$(rich_rules)" "$RULE"
    expect_eq "the permanent rich rules" "$(fwcmd --permanent --zone=public --list-rich-rules)" ""
    fwcmd --reload >/dev/null
    expect_eq "the rich rules after a reload" "$(rich_rules)" ""
    stop_firewalld
}

case_ways_out() {
    start_firewalld
    local way
    for way in TERM INT HUP Escape alt+F4; do
        start_app || continue
        expect_eq "the rich rules before $way" "$(rich_rules)" "$RULE"
        case "$way" in
            TERM|INT|HUP) kill -"$way" "$APP" ;;
            *) key "$way" ;;
        esac
        app_ends
        expect_eq "the rich rules after $way" "$(rich_rules)" ""
    done
    # The session's display goes away (a log-out ends the X server): Qt ends the program
    # through exit() without its window's teardown.
    local main_display=$DISPLAY main_xvfb=$XVFB_PID x2="" started=1
    if orvane_start_xvfb "$WORK/xvfb2.log" 800x600x24; then
        x2=$XVFB_PID
        start_app && started=0
    fi
    export DISPLAY=$main_display
    XVFB_PID=$main_xvfb
    if [ $started -eq 0 ]; then
        expect_eq "the rich rules before the display goes" "$(rich_rules)" "$RULE"
        kill -TERM "$x2"
        wait "$x2" 2>/dev/null
        app_ends 1
        expect_eq "the rich rules after the display went" "$(rich_rules)" ""
    else
        fail "no second display"
        [ -n "$x2" ] && kill "$x2" 2>/dev/null
    fi
    # SIGTERM in the middle of an update, with the progress window in front of the main one.
    dev "$SIM" --listen "$BROADCAST" --source "$DEV_ADDR" --wait 30 --timeout 30 --slow 0.5 >"$WORK/sim.log" 2>&1 &
    local sim=$! progress=""
    PIDS+=("$sim")
    if start_app; then
        click 138 131  # Update
        for _ in $(seq 100); do
            progress=$(xdotool search --onlyvisible --name '^Updating\.\.\.$' 2>/dev/null | head -n 1)
            [ -n "$progress" ] && break
            sleep 0.1
        done
        [ -n "$progress" ] || fail "no progress window appeared"
        kill -TERM "$APP"
        app_ends
        expect_eq "the rich rules after TERM during the update" "$(rich_rules)" ""
    fi
    kill "$sim" 2>/dev/null
    wait "$sim" 2>/dev/null
    stop_firewalld
}

case_backend() {
    start_firewalld
    # Two more interfaces for the back-end's checks (veth pairs: a kernel may lack the dummy
    # driver; the other ends have no address); removed again afterwards.
    local i
    for i in 1 2; do
        ip link add "ovfw-d$i" type veth peer name "ovfw-e$i" && ip addr add "10.233.$i.1/24" brd + dev "ovfw-d$i" &&
            ip link set "ovfw-e$i" up && ip link set "ovfw-d$i" up || { fail "could not make interface ovfw-d$i"; return; }
    done
    ORVANE_FIREWALLD_RUNNING=1 ORVANE_FIREWALL_CMD="${FW_ENV[*]} $PY $DEBS/usr/bin/firewall-cmd" \
        ORVANE_FIREWALLD_LINKS="$PC_IF=10.232.0.0/24 ovfw-d1=10.233.1.0/24 ovfw-d2=10.233.2.0/24" "$CHECK" 2>&1 | sed 's/^/    /'
    [ "${PIPESTATUS[0]}" -eq 0 ] || fail "the back-end's checks failed"
    ip link del ovfw-d1
    ip link del ovfw-d2
    stop_firewalld
}

for c in "${CASES[@]}"; do
    CASE=$c
    before=$FAILS
    echo "== firewalld $c"
    "case_$c"
    [ "$FAILS" -eq "$before" ] && echo "  PASS $c"
done
echo "firewalld: $FAILS failure(s)"
[ "$FAILS" -eq 0 ]

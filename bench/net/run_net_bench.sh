#!/usr/bin/env bash
# Runs net_bench against nginx serving the same image files. As root, over a veth pair
# between two network namespaces made for the run:
#
#   orvane-bench-srv  ovbench-srv  10.232.0.1/24   net_bench's server side and nginx
#   orvane-bench-cli  ovbench-cli  10.232.0.2/24   net_bench's client thread
#
# otherwise (or with --loopback) over loopback inside a private network namespace of its
# own. nginx comes from Debian's package, unpacked into the build tree with
# orvane_unpack_debs and started from there with its own configuration; nothing is
# installed. The namespaces and nginx are removed on every way out.
#
# Both servers (net_bench's server thread and nginx) and the client thread run on one CPU,
# the last, so that a series costs the CPU time of the whole path (server, kernel, client)
# and the placement cannot change between series: left to the scheduler, the client and a
# server share a core in one series and not in the next, which moved single series by 50 %
# and whole runs by a third. --cpus S,C puts the servers on CPU S and the client on C;
# --no-pin leaves the placement to the scheduler.
#
# Usage: bench/net/run_net_bench.sh [--loopback] [--cpus S,C | --no-pin] [--build DIR]
#                                   [net_bench options...]
#   DIR defaults to build/linux; net_bench must have been built there.
set -uo pipefail

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=$ROOT/build/linux
LOOPBACK=0
PIN=1
SERVER_CPU=$(($(nproc) - 1))
CLIENT_CPU=$SERVER_CPU
ARGS=()
while [ $# -gt 0 ]; do
    case "$1" in
        --loopback) LOOPBACK=1; shift ;;
        --no-pin) PIN=0; shift ;;
        --cpus) SERVER_CPU=${2%,*}; CLIENT_CPU=${2#*,}; shift 2 ;;
        --build) BUILD=$(cd "$2" && pwd); shift 2 ;;
        -h|--help) sed -n '2,22p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) ARGS+=("$1"); shift ;;
    esac
done
BENCH=$BUILD/bin/net_bench
FIRMWARE=$BUILD/firmware
[ -x "$BENCH" ] || { echo "run_net_bench: build net_bench first (cmake --build --preset linux --target net_bench)" >&2; exit 2; }
[ -f "$FIRMWARE/132.bin" ] || FIRMWARE=$(sed -n 's/.*ORVANE_FIRMWARE_FILES_DIR="\([^"]*\)".*/\1/p' \
    "$BUILD/build.ninja" 2>/dev/null | head -n 1)
[ -f "$FIRMWARE/132.bin" ] || { echo "run_net_bench: the firmware files are not in the build tree" >&2; exit 2; }

# shellcheck source=../../tools/scripts/common.sh
source "$ROOT/tools/scripts/common.sh"
DEBS=$BUILD/debs
orvane_unpack_debs "$DEBS" nginx || exit 1
NGINX=$DEBS/usr/sbin/nginx

SRV_NS=orvane-bench-srv
CLI_NS=orvane-bench-cli
SRV_IF=ovbench-srv
CLI_IF=ovbench-cli
SRV_ADDR=10.232.0.1
CLI_ADDR=10.232.0.2
NGINX_PORT=28080

WORK=$(mktemp -d "${TMPDIR:-/tmp}/orvane-net-bench.XXXXXX")
chmod 755 "$WORK"
NGINX_PID=""
NETNS=0
cleanup() {
    if [ -n "$NGINX_PID" ]; then
        kill -TERM "$NGINX_PID" 2>/dev/null
        wait "$NGINX_PID" 2>/dev/null
    fi
    if [ $NETNS -eq 1 ]; then
        ip netns del "$SRV_NS" 2>/dev/null
        ip netns del "$CLI_NS" 2>/dev/null
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# nginx with sendfile, as a light distribution build serves static files; each image at the
# path the device asks for.
write_conf() {
    local listen=$1
    cat >"$WORK/nginx.conf" <<EOF
daemon off;
master_process off;
worker_processes 1;
pid $WORK/nginx.pid;
error_log $WORK/error.log;
events { worker_connections 256; }
http {
    access_log off;
    sendfile on;
    tcp_nopush on;
    client_body_temp_path $WORK/body;
    proxy_temp_path $WORK/proxy;
    fastcgi_temp_path $WORK/fastcgi;
    uwsgi_temp_path $WORK/uwsgi;
    scgi_temp_path $WORK/scgi;
    default_type application/octet-stream;
    server {
        listen $listen:$NGINX_PORT;
        location = /dev/mtd/4 { alias $FIRMWARE/135.bin; }
        location = /dev/mtd/5 { alias $FIRMWARE/132.bin; }
        location = /dev/mtd/6 { alias $FIRMWARE/133.bin; }
    }
}
EOF
}

# The CPUs of the servers and of the client (see above).
PIN_ARGS=()
NGINX_PIN=()
if [ $PIN -eq 1 ] && command -v taskset >/dev/null 2>&1; then
    PIN_ARGS=(--server-cpu "$SERVER_CPU" --client-cpu "$CLIENT_CPU")
    NGINX_PIN=(taskset -c "$SERVER_CPU")
fi

# start_nginx CMD...: nginx in the foreground of a background job, ended by its PID.
start_nginx() {
    "$@" "${NGINX_PIN[@]}" "$NGINX" -p "$WORK" -c "$WORK/nginx.conf" -e "$WORK/error.log" &
    NGINX_PID=$!
    local tries=0
    until grep -q . "$WORK/nginx.pid" 2>/dev/null; do
        if ! kill -0 "$NGINX_PID" 2>/dev/null || [ $tries -ge 100 ]; then
            echo "run_net_bench: nginx did not start:" >&2
            cat "$WORK/error.log" >&2 2>/dev/null
            exit 1
        fi
        sleep 0.05
        tries=$((tries + 1))
    done
}

if [ $LOOPBACK -eq 0 ] && [ "$(id -u)" -eq 0 ] && command -v ip >/dev/null 2>&1; then
    # In /run/lock, not TMPDIR: the namespace names are machine-wide, and test.sh gives each
    # run a TMPDIR of its own.
    { exec 9>"/run/lock/orvane-bench.lock"; } 2>/dev/null || exec 9>"/tmp/orvane-bench.lock"
    flock -w 300 9 || { echo "run_net_bench: another run holds the lock" >&2; exit 1; }
    ip netns del "$SRV_NS" 2>/dev/null
    ip netns del "$CLI_NS" 2>/dev/null
    # shellcheck source=../../tests/lib/test_hosts.sh
    source "$ROOT/tests/lib/test_hosts.sh"
    NETNS=1
    orvane_make_test_hosts "$SRV_NS" "$SRV_IF" "$SRV_ADDR" "$CLI_NS" "$CLI_IF" "$CLI_ADDR"
    case $? in
    0)
        write_conf "$SRV_ADDR"
        start_nginx ip netns exec "$SRV_NS"
        ip netns exec "$SRV_NS" "$BENCH" --address "$SRV_ADDR" --nginx-port "$NGINX_PORT" \
            --nginx-pid "$(cat "$WORK/nginx.pid")" --client-netns "/var/run/netns/$CLI_NS" \
            "${PIN_ARGS[@]}" "${ARGS[@]}"
        exit $?
        ;;
    77) echo "run_net_bench: $ORVANE_HOSTS_WHY; over loopback instead" ;;
    *) echo "run_net_bench: the test hosts could not be set up" >&2; exit 1 ;;
    esac
    ip netns del "$SRV_NS" 2>/dev/null
    ip netns del "$CLI_NS" 2>/dev/null
    NETNS=0
fi

# Loopback: this script again inside a private network namespace, where nothing reaches a
# real interface.
if [ "${ORVANE_BENCH_PRIVATE:-0}" != 1 ]; then
    PIN_FLAG=()
    PIN_FLAG=(--cpus "$SERVER_CPU,$CLIENT_CPU")
    [ $PIN -eq 1 ] || PIN_FLAG=(--no-pin)
    if unshare --net true 2>/dev/null; then
        ORVANE_BENCH_PRIVATE=1 exec unshare --net "$0" --loopback "${PIN_FLAG[@]}" --build "$BUILD" "${ARGS[@]}"
    elif unshare -r --net true 2>/dev/null; then
        ORVANE_BENCH_PRIVATE=1 exec unshare -r --net "$0" --loopback "${PIN_FLAG[@]}" --build "$BUILD" "${ARGS[@]}"
    fi
    echo "run_net_bench: no private network namespace; loopback of this one (nothing is announced)"
fi
ip link set lo up 2>/dev/null
write_conf 127.0.0.1
start_nginx
"$BENCH" --address 127.0.0.1 --nginx-port "$NGINX_PORT" --nginx-pid "$(cat "$WORK/nginx.pid")" \
    "${PIN_ARGS[@]}" "${ARGS[@]}"

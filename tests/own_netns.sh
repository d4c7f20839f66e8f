#!/bin/sh
# own_netns.sh TEST [ARGS...]: runs a test binary in a network namespace of its own with only
# loopback up. The announcer binds the discovery port, UDP 20200, and the server a TCP port
# from 20200 up; the update worker's test binds the same ports, and when ctest -j ran the two
# at the same moment in one namespace, the second bind failed. Where no namespace can be made
# (no unshare, no right to it) the test runs where it is. Used through orvane_test(... OWN_NETNS).
if command -v unshare >/dev/null 2>&1 && command -v ip >/dev/null 2>&1; then
    for how in "--net" "--user --map-root-user --net"; do
        # shellcheck disable=SC2086
        if unshare $how true 2>/dev/null; then
            exec unshare $how sh -c 'ip link set lo up && exec "$@"' sh "$@"
        fi
    done
fi
exec "$@"

#!/usr/bin/env bash
# Installs what is missing, builds every preset the suite needs and runs every test: the
# native build, the address+undefined and thread sanitizer builds, the fuzz targets for a
# bounded time, and the Windows build under wine. As root the whole suite runs inside a
# private network namespace with only loopback, so that no test can reach this machine's
# real interfaces even by mistake.
#
# It ends with one line, "test.sh: N passed, N failed, N skipped". A skipped test is one that
# could not run here (no root, no network namespaces) and says why; it is never counted as
# passed. Where the suite has everything it needs (CI=true, or root where network namespaces
# can be made) a skipped test fails the run.
#
# Nothing is left behind: no package it installs starts a service, daemons the tests need are
# unpacked into the build tree and run there, and every temporary file of the run (wine's
# server folder included) lives in one folder that is removed however the run ends.
set -euo pipefail
cd "$(dirname "$0")"
source tools/scripts/common.sh

if [ -z "${ORVANE_IN_NETNS:-}" ]; then
    orvane_install "${ORVANE_TEST_PACKAGES[@]}"
    orvane_unpack_debs build/debs firewalld python3-firewall nftables libnftables1 libnftnl11 python3-nftables \
        polkitd libpolkit-gobject-1-0 libpolkit-agent-1-0 libduktape207 ||
        echo "test.sh: firewalld or polkitd could not be fetched; the firewalld test will be skipped"
    if [ "$(id -u)" -eq 0 ]; then
        exec unshare --net env ORVANE_IN_NETNS=1 bash "$0" "$@"
    fi
    echo "test.sh: not root, so the suite runs without a private network namespace;" \
         "the tests themselves use only loopback and injected interface lists."
else
    ip link set lo up
fi

# Every temporary file of this run, wine's included (wine puts its server folder under
# TMPDIR), goes here and goes away with the run.
RUN_TMP=$(mktemp -d "${TMPDIR:-/tmp}/orvane-test.XXXXXX")
# Tests run programs as an ordinary user too (the package check's nobody): they must be able
# to reach what the run unpacks here, as they could in /tmp.
chmod 755 "$RUN_TMP"
export TMPDIR=$RUN_TMP
cleanup() {
    if [ -n "${WINEPREFIX:-}" ] && command -v wineserver >/dev/null 2>&1; then
        wineserver -k >/dev/null 2>&1 || true
    fi
    rm -rf "$RUN_TMP"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# No test may reach this machine's own system bus: on a PC where firewalld runs, a test that
# starts the real program would otherwise add (and remove) a rule in its zones. The firewalld
# tests bring a bus of their own.
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/orvane-no-system-bus
# Nor the desktop session of whoever runs the suite, nor their home: the programs the tests
# start would register with the desktop's screen reader, and Qt, rpm, dconf and the
# accessibility bus write caches and databases under the home. Without a session bus address
# libdbus would start a bus of its own (dbus-launch) and leave its files behind. A home and a
# runtime folder of the run's own take their place; the tests that need a session bus (the
# screen-reader test) start their own.
mkdir -p "$RUN_TMP/home" "$RUN_TMP/run"
chmod 700 "$RUN_TMP/run"
export HOME=$RUN_TMP/home XDG_RUNTIME_DIR=$RUN_TMP/run
export DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/orvane-no-session-bus
unset XDG_CACHE_HOME XDG_CONFIG_HOME XDG_DATA_HOME XDG_STATE_HOME WAYLAND_DISPLAY

# Whether a skip is allowed: only where the suite cannot have what it needs.
STRICT=""
if [ "${CI:-}" = true ]; then
    STRICT="CI=true"
elif [ "$(id -u)" -eq 0 ]; then
    probe=orvane-probe-$$
    # ip netns exec, which the end-to-end tests use, needs more than ip netns add: it remounts
    # /, which fails in a chroot whose / is not a mount point.
    if ip netns add "$probe" >/dev/null 2>&1; then
        if ip netns exec "$probe" true >/dev/null 2>&1; then
            STRICT="run as root where network namespaces can be made"
        fi
        ip netns del "$probe" >/dev/null 2>&1 || true
    fi
fi

PASSED=0
FAILED=0
SKIPPED=0
SKIPS_FAIL=0
SKIPS=()
CASE_SKIPS=()
FAILURES=()

echo "== clang-format"
if git ls-files '*.cpp' '*.h' | xargs -r clang-format --dry-run -Werror; then
    echo "== clang-format: clean"
else
    echo "== clang-format: the files above need formatting" >&2
    FAILED=$((FAILED + 1))
    FAILURES+=("clang-format")
fi

# run_ctest NAME DIR [ctest args...]: runs one build's tests and adds up passed, failed and
# skipped tests from CTest's JUnit report (its console summary counts a skip as a pass).
run_ctest() {
    local name=$1 dir=$2
    shift 2
    local junit="$RUN_TMP/$name.junit.xml"
    echo "== $name: ctest"
    (cd "$dir" && ctest --output-on-failure --output-junit "$junit" "$@") || true
    if [ ! -s "$junit" ]; then
        if [ -z "$(cd "$dir" && ctest -N 2>/dev/null | grep -E '^ *Test +#')" ]; then
            echo "== $name: no tests in this build"
        else
            echo "== $name: ctest gave no result" >&2
            FAILED=$((FAILED + 1))
            FAILURES+=("$name: ctest gave no result")
        fi
        return
    fi
    local results kind test reason p=0 f=0 s=0
    if ! results=$(python3 tools/scripts/ctest_results.py "$junit"); then
        echo "== $name: CTest's report could not be read" >&2
        FAILED=$((FAILED + 1))
        FAILURES+=("$name: CTest's report could not be read")
        return
    fi
    while IFS=$'\t' read -r kind test reason; do
        case "$kind" in
            passed) p=$((p + 1)) ;;
            failed) f=$((f + 1)); FAILURES+=("$name/$test: $reason") ;;
            skipped) s=$((s + 1)); SKIPS+=("$name/$test: $reason") ;;
            case-skipped) CASE_SKIPS+=("$name/$test: $reason") ;;
        esac
    done <<<"$results"
    echo "== $name: $p passed, $f failed, $s skipped"
    PASSED=$((PASSED + p))
    FAILED=$((FAILED + f))
    SKIPPED=$((SKIPPED + s))
}

for preset in linux asan tsan; do
    echo "== $preset: build"
    orvane_build "$preset"
done
echo "== fuzz: build"
orvane_build fuzz
echo "== windows: build"
orvane_build windows
# The Debian package; CTest's package_check then checks it (tests/package/check_package.sh).
echo "== linux: package"
orvane_build linux package

for preset in linux asan tsan; do
    run_ctest "$preset" "build/$preset"
done
run_ctest fuzz build/fuzz

# Wine: a fresh prefix for this run, its server started once before CTest so that each test
# does not pay wine's start-up, and stopped afterwards. wine's error lines stay on: CTest
# shows them only for a failing test, and a program that dies under wine before it prints
# anything (seen once, on a first run) is otherwise a failure without a word.
export WINEPREFIX="$RUN_TMP/wine"
mkdir -p "$WINEPREFIX"
export WINEDEBUG=-all,err+all WINEDLLOVERRIDES="mscoree,mshtml="
wineserver -p
wine cmd /c exit 0 </dev/null >/dev/null 2>&1 || true
run_ctest windows build/windows --timeout 60
wineserver -k || true

if [ ${#CASE_SKIPS[@]} -gt 0 ]; then
    echo "== GoogleTest cases that skipped themselves inside passing tests (not counted below):"
    printf '   %s\n' "${CASE_SKIPS[@]}"
fi
if [ ${#SKIPS[@]} -gt 0 ]; then
    echo "== skipped tests and why:"
    printf '   %s\n' "${SKIPS[@]}"
    if [ -n "$STRICT" ]; then
        echo "== skips fail this run ($STRICT): the suite has everything it needs here" >&2
        SKIPS_FAIL=1
    else
        echo "== skips are allowed here: not CI, and no network namespaces can be made" \
             "(they need root, ip netns and a / that is a mount point)"
    fi
fi
if [ ${#FAILURES[@]} -gt 0 ]; then
    echo "== failed:"
    printf '   %s\n' "${FAILURES[@]}"
fi

echo "test.sh: $PASSED passed, $FAILED failed, $SKIPPED skipped"
[ "$FAILED" -eq 0 ] && [ "$SKIPS_FAIL" -eq 0 ]

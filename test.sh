#!/usr/bin/env bash
# Installs what is missing, builds every preset the suite needs and runs every test: the
# native build, the address+undefined and thread sanitizer builds, the fuzz targets for a
# bounded time, and the Windows build under wine. As root the whole suite runs inside a
# private network namespace with only loopback, so that no test can reach this machine's
# real interfaces even by mistake.
set -euo pipefail
cd "$(dirname "$0")"
source tools/scripts/common.sh

if [ -z "${ORVANE_IN_NETNS:-}" ]; then
    orvane_install "${ORVANE_BUILD_PACKAGES[@]}" googletest libgtest-dev libgmock-dev libbenchmark-dev \
        clang libclang-rt-14-dev g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 \
        mingw-w64-x86-64-dev wine wine64 xvfb xauth xdotool nginx-light curl iproute2 \
        util-linux coreutils procps clang-format git imagemagick tesseract-ocr tesseract-ocr-eng \
        dbus-daemon dbus-bin python3-dbus python3-gi
    orvane_unpack_debs build/debs firewalld python3-firewall nftables libnftables1 libnftnl11 python3-nftables ||
        echo "test.sh: firewalld could not be fetched; its end-to-end test will be skipped"
    if [ "$(id -u)" -eq 0 ]; then
        exec unshare --net env ORVANE_IN_NETNS=1 bash "$0" "$@"
    fi
    echo "test.sh: not root, so the suite runs without a private network namespace;" \
         "the tests themselves use only loopback and injected interface lists."
else
    ip link set lo up
fi

PASSED=0
FAILED=0

echo "== clang-format"
if git ls-files '*.cpp' '*.h' | xargs -r clang-format --dry-run -Werror; then
    echo "== clang-format: clean"
else
    echo "== clang-format: the files above need formatting" >&2
    FAILED=$((FAILED + 1))
fi
# run_ctest NAME DIR [ctest args...]: runs one build's tests and adds up the results.
run_ctest() {
    local name=$1 dir=$2
    shift 2
    local log
    log=$(mktemp)
    echo "== $name: ctest"
    if (cd "$dir" && ctest --output-on-failure "$@") 2>&1 | tee "$log"; then :; fi
    local line
    line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1 || true)
    if [ -z "$line" ] && grep -q "No tests were found" "$log"; then
        echo "== $name: no tests in this build"
    elif [ -z "$line" ]; then
        echo "== $name: ctest gave no result" >&2
        FAILED=$((FAILED + 1))
    else
        local failed total
        failed=$(echo "$line" | sed -E 's/.*passed, ([0-9]+) tests? failed out of ([0-9]+).*/\1/')
        total=$(echo "$line" | sed -E 's/.*failed out of ([0-9]+).*/\1/')
        PASSED=$((PASSED + total - failed))
        FAILED=$((FAILED + failed))
    fi
    rm -f "$log"
}

for preset in linux asan tsan; do
    echo "== $preset: build"
    orvane_build "$preset"
done
echo "== fuzz: build"
orvane_build fuzz
echo "== windows: build"
orvane_build windows

for preset in linux asan tsan; do
    run_ctest "$preset" "build/$preset"
done
run_ctest fuzz build/fuzz

# Wine: a fresh prefix for this run, its server started once before CTest so that each test
# does not pay wine's start-up, and stopped afterwards.
export WINEPREFIX
WINEPREFIX=$(mktemp -d /tmp/orvane-wine.XXXXXX)
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wineserver -p
wine cmd /c exit 0 </dev/null >/dev/null 2>&1 || true
run_ctest windows build/windows --timeout 60
wineserver -k || true
rm -rf "$WINEPREFIX"

echo "test.sh: $PASSED passed, $FAILED failed"
[ "$FAILED" -eq 0 ]

#!/usr/bin/env bash
# run_on_display.sh setup <prefix>
#     Makes a fresh wine prefix for the window tests, with wine's virtual desktop switched on
#     (without a window manager wine draws no caption bars; the virtual desktop draws them and
#     keeps the program's exit code).
# run_on_display.sh run <prefix> <program.exe> [arguments...]
#     Runs the program under wine on a private Xvfb display, inside a network namespace of its
#     own with only loopback, with a wineserver of its own started inside that namespace (wine
#     creates sockets in the server, so the server's namespace is the one that counts).
#     ORVANE_W32_DPI=144 runs it with the display scaled to 150 % (wine's LogPixels), put back
#     to 96 afterwards; ORVANE_W32_THEME=light runs it with wine's "Light" visual style, taken
#     off afterwards.
#
# Exit code 77 (skipped) when a prerequisite is missing: root for the namespace, Xvfb, wine.
set -u
mode=${1:-}
prefix=${2:-}
[ -n "$mode" ] && [ -n "$prefix" ] || { echo "usage: $0 setup|run <prefix> [program args...]" >&2; exit 2; }
shift 2

skip() { echo "SKIPPED: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "needs root to make a private network namespace (unshare --net)"
for tool in unshare ip wine wineserver; do
    command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed"
done
if [ "$mode" = run ]; then
    command -v Xvfb >/dev/null 2>&1 || skip "Xvfb is not installed (package xvfb)"
fi

if [ -z "${ORVANE_W32_NETNS:-}" ]; then
    exec unshare --net env ORVANE_W32_NETNS=1 bash "$0" "$mode" "$prefix" "$@"
fi
ip link set lo up

export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset WINESERVER

case "$mode" in
setup)
    rm -rf "$prefix"
    mkdir -p "$(dirname "$prefix")"
    wineserver -p
    wine cmd /c exit 0 </dev/null >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1 &&
        wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f >/dev/null 2>&1
    rc=$?
    wineserver -k
    wineserver -w
    [ $rc -eq 0 ] && [ -d "$prefix/drive_c" ] || { echo "could not make the wine prefix $prefix" >&2; exit 1; }
    echo "wine prefix ready: $prefix"
    exit 0
    ;;
run) ;;
*) echo "unknown mode $mode" >&2; exit 2 ;;
esac

[ -d "$prefix/drive_c" ] || { echo "no wine prefix at $prefix: run the setup first" >&2; exit 1; }
[ $# -ge 1 ] || { echo "no program to run" >&2; exit 2; }

# A display of our own: Xvfb picks a free number and tells it. It listens only on its abstract
# socket, which wine reaches from this same network namespace: a socket file would make
# /tmp/.X11-unix on a machine that has none and leave it behind.
displayfile=$(mktemp)
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -nolisten unix -noreset 3>"$displayfile" >/dev/null 2>&1 &
xvfb=$!
settings_changed=0
cleanup() {
    if [ $settings_changed -eq 1 ]; then
        wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 96 /f </dev/null >/dev/null 2>&1
        wine reg delete 'HKCU\Software\Microsoft\Windows\CurrentVersion\ThemeManager' /f </dev/null >/dev/null 2>&1
    fi
    wineserver -k >/dev/null 2>&1
    wineserver -w >/dev/null 2>&1
    kill "$xvfb" >/dev/null 2>&1
    wait "$xvfb" 2>/dev/null
    rm -f "$displayfile"
}
trap cleanup EXIT
for _ in $(seq 100); do
    [ -s "$displayfile" ] && break
    sleep 0.1
done
[ -s "$displayfile" ] || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(head -n 1 "$displayfile")"

wineserver -p
wine cmd /c exit 0 </dev/null >/dev/null 2>&1
if [ -n "${ORVANE_W32_DPI:-}" ] || [ -n "${ORVANE_W32_THEME:-}" ]; then
    settings_changed=1
    wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "${ORVANE_W32_DPI:-96}" /f \
        </dev/null >/dev/null 2>&1 || { echo "could not set the display's DPI" >&2; exit 1; }
fi
if [ "${ORVANE_W32_THEME:-}" = light ]; then
    key='HKCU\Software\Microsoft\Windows\CurrentVersion\ThemeManager'
    { wine reg add "$key" /v ThemeActive /d 1 /f &&
        wine reg add "$key" /v DllName /d 'C:\windows\resources\themes\light\light.msstyles' /f &&
        wine reg add "$key" /v ColorName /d Blue /f &&
        wine reg add "$key" /v SizeName /d NormalSize /f; } </dev/null >/dev/null 2>&1 ||
        { echo "could not switch the Light visual style on" >&2; exit 1; }
fi
wine "$@"
rc=$?
exit $rc

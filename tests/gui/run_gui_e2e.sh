#!/usr/bin/env bash
# The end-to-end runs of the real windows: checks what the runs need, then hands them to the
# namespace harness of tests/e2e/run_e2e.sh (two namespaces, orvane-m1-sim in one, the
# updater's side in the other, both removed on every way out).
#
#   run_gui_e2e.sh inprocess DRIVER SIM CASE...      the in-process Qt driver, offscreen
#   run_gui_e2e.sh xvfb PROGRAM SIM SHOTS CASE...    the real program under Xvfb and xdotool
#   run_gui_e2e.sh atspi PROGRAM SIM CASE...         the real program under Xvfb, over AT-SPI
#
# Exit codes: those of run_e2e.sh; 77 (skipped) when a tool is missing or not root.
set -uo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
HARNESS=$HERE/../e2e/run_e2e.sh
MODE=$1
skip() {
    echo "gui e2e: SKIPPED: $*"
    exit 77
}
[ "$(id -u)" -eq 0 ] || skip "the network namespaces need root; run as root (./test.sh does)"
command -v ip >/dev/null 2>&1 || skip "the ip command (iproute2) is not installed"
[ -f "$HARNESS" ] || skip "the namespace harness tests/e2e/run_e2e.sh is missing"
case "$MODE" in
    inprocess)
        DRIVER=$2 SIM=$3
        shift 3
        exec bash "$HARNESS" --updater "$DRIVER" --sim "$SIM" "$@"
        ;;
    xvfb)
        PROGRAM=$2 SIM=$3 SHOTS=$4
        shift 4
        for tool in Xvfb xdotool import convert tesseract; do
            command -v $tool >/dev/null 2>&1 ||
                skip "$tool is not installed (Debian: xvfb, xdotool, imagemagick, tesseract-ocr)"
        done
        [ "$SHOTS" != - ] && mkdir -p "$SHOTS"
        exec bash "$HARNESS" --updater "$HERE/xvfb_updater.sh $PROGRAM $SHOTS" --sim "$SIM" "$@"
        ;;
    atspi)
        command -v Xvfb >/dev/null && command -v dbus-run-session >/dev/null && /usr/bin/python3 -c 'import pyatspi' 2>/dev/null ||
            skip "Xvfb, dbus-run-session or pyatspi is not installed (Debian: xvfb, dbus-bin, python3-pyatspi)"
        exec bash "$HARNESS" --updater "$(command -v dbus-run-session) -- /usr/bin/python3 $HERE/atspi_outcome.py $2" \
            --sim "$3" "${@:4}"
        ;;
esac
echo "run_gui_e2e.sh: unknown mode $MODE" >&2
exit 2

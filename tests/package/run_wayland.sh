#!/usr/bin/env bash
# The program natively on Wayland, under weston's headless back-end (no GPU, no X server):
# qt_backend_test's QtModal and QtWayland cases, then the packaged program as a Wayland session
# starts it: Qt's wayland plugin, app id, title, one size, its window on the screen (OCR; the
# screenshot stays in BUILD_DIR/screenshots), exit code 0 on SIGTERM. In a network namespace.
#
#   run_wayland.sh BUILD_DIR SOURCE_DIR QT_BACKEND_TEST     exit 0 passed, 1 failed, 77 skipped
set -uo pipefail
BUILD=$(cd "$1" && pwd)
QT_TEST=$3
skip() { echo "wayland: SKIPPED: $*" && exit 77; }
if [ "${ORVANE_INSIDE:-}" != 1 ]; then
    [ "$(id -u)" -eq 0 ] || skip "a network namespace of its own needs root"
    for tool in unshare weston weston-screenshooter convert tesseract dpkg-deb; do
        command -v $tool >/dev/null || skip "$tool is missing (Debian: weston, imagemagick, tesseract-ocr)"
    done
    compgen -G "/usr/lib/*/qt6/plugins/platforms/libqwayland-generic.so" >/dev/null || skip "no qt6-wayland"
    exec timeout -k 5 150 env ORVANE_INSIDE=1 unshare --net bash "$0" "$@"
fi
ip link set lo up
VERSION=$(sed -n 's/^constexpr const char\* ABOUT_VERSION = "\([0-9.]*\)";$/\1/p' "$2/res/catalogue/catalogue.h")
DEB=$BUILD/orvane-updater_${VERSION}_$(dpkg --print-architecture).deb
[ "$DEB" -nt "$BUILD/bin/orvane-updater" ] || skip "no package as new as the program: build the package target"
WORK=$(mktemp -d "${TMPDIR:-/tmp}/orvane-wayland.XXXXXX")
trap 'kill $(jobs -p) 2>/dev/null; wait; rm -rf "$WORK"' EXIT
FAILED=0
check() { # check WHAT COMMAND...
    if "${@:2}"; then echo "  ok   $1"; else echo "  FAIL $1" && FAILED=$((FAILED + 1)); fi
}

unset DISPLAY
export XDG_RUNTIME_DIR=$WORK/run WAYLAND_DISPLAY=orvane-wayland
mkdir -m 700 "$XDG_RUNTIME_DIR"
# --debug lets weston-screenshooter take the screen.
weston --backend=headless-backend.so --use-pixman --width=1024 --height=768 --idle-time=0 \
    --socket="$WAYLAND_DISPLAY" --debug --log="$WORK/weston.log" >/dev/null 2>&1 &
for _ in $(seq 100); do [ -S "$XDG_RUNTIME_DIR/$WAYLAND_DISPLAY" ] && break || sleep 0.1; done

QT_QPA_PLATFORM=wayland WAYLAND_DEBUG=1 "$QT_TEST" --gtest_filter='QtModal.*:QtWayland.*' >"$WORK/qt.log" 2>"$WORK/qt.wl"
check "QtModal and QtWayland cases pass on Wayland" grep -q '^\[  PASSED  \] 2 tests' "$WORK/qt.log"
main=$(grep -aoE 'xdg_toplevel@[0-9]+' "$WORK/qt.wl" | head -n 1)
check "the about box names the main window as its parent" grep -aqF ".set_parent($main)" "$WORK/qt.wl"

dpkg-deb -x "$DEB" "$WORK/root"
EXEC=$(sed -n 's/^Exec=//p' "$WORK/root/usr/share/applications/com.orvane.M1Updater.desktop")
env -i PATH="$WORK/root/usr/bin:/usr/bin:/bin" HOME="$WORK" XDG_RUNTIME_DIR="$XDG_RUNTIME_DIR" LANG=C.UTF-8 \
    WAYLAND_DISPLAY="$WAYLAND_DISPLAY" XDG_SESSION_TYPE=wayland WAYLAND_DEBUG=1 sh -c "exec $EXEC" 2>"$WORK/app.wl" &
APP=$!
for _ in $(seq 150); do grep -aq ack_configure "$WORK/app.wl" && break || sleep 0.1; done
sleep 1
sent() { grep -aoE "xdg_toplevel@[0-9]+\.$1\([^)]*\)" "$WORK/app.wl" | head -n 1 | sed 's/^[^(]*//'; }
check "on Qt's wayland plugin, xcb not loaded" \
    sh -c "grep -q libqwayland /proc/$APP/maps && ! grep -q libqxcb /proc/$APP/maps"
check "app id $(sent set_app_id)" test "$(sent set_app_id)" = '("com.orvane.M1Updater")'
check "title $(sent set_title)" test "$(sent set_title)" = '("Firmware updater for Orvane M1")'
check "minimum size $(sent set_min_size) = maximum" test "$(sent set_min_size)" = "$(sent set_max_size)" -a -n "$(sent set_max_size)"
mkdir -p "$BUILD/screenshots" "$WORK/shot"
(cd "$WORK/shot" && weston-screenshooter && mv ./*.png "$BUILD/screenshots/wayland-main.png")
# Enlarged and darkened for the OCR; the title of a window without the focus is too pale.
convert "$BUILD/screenshots/wayland-main.png" -colorspace Gray -resize 300% -level 0%,75% "$WORK/big.png"
text=$(tesseract "$WORK/big.png" - 2>/dev/null | tr '\n' ' ')
echo "  seen: $text"
check "the window is on the screen" grep -q "Please select \[Update\] button.*Update.*Finish" <<<"$text"
kill -TERM $APP
timeout 10 tail --pid=$APP -f /dev/null || kill -KILL $APP
wait $APP
check "SIGTERM ends it with exit code 0" test $? -eq 0
[ $FAILED -eq 0 ]

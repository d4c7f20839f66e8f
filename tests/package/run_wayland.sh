#!/usr/bin/env bash
# The program on Wayland, natively: weston's headless back-end (no GPU, no X server at all)
# with its desktop shell. First the Qt back-end's Wayland cases in process (qt_backend_test
# QtModal.* and QtWayland.*: a nested dialog's parent, an undone maximise), then the program
# unpacked from the package, started as a Wayland session starts it: it must come up through
# Qt's wayland plugin, which the package brings, with the desktop entry's id as its app id,
# its title, one fixed size, and its window on the screen (the screenshot, read back by OCR);
# SIGTERM ends it with exit code 0.
#
#   run_wayland.sh BUILD_DIR SOURCE_DIR QT_BACKEND_TEST
#
# The screenshot stays as BUILD_DIR/screenshots/wayland-main.png. Runs in a network namespace
# of its own with only loopback. Exit codes: 0 passed, 1 failed, 77 skipped (not root, a tool
# missing, no package built).
set -uo pipefail
BUILD=$(cd "$1" && pwd)
SRC=$(cd "$2" && pwd)
QT_TEST=$3
APP_ID=com.orvane.M1Updater
TITLE='Firmware updater for Orvane M1'
skip() {
    echo "wayland: SKIPPED: $*"
    exit 77
}

if [ "${ORVANE_INSIDE:-}" != 1 ]; then
    [ "$(id -u)" -eq 0 ] || skip "a network namespace of its own needs root"
    for tool in unshare weston weston-screenshooter convert tesseract dpkg-deb; do
        command -v $tool >/dev/null 2>&1 ||
            skip "$tool is missing (Debian: weston, imagemagick, tesseract-ocr, dpkg)"
    done
    compgen -G "/usr/lib/*/qt6/plugins/platforms/libqwayland-generic.so" >/dev/null ||
        skip "Qt's wayland platform plugin is missing (Debian: qt6-wayland)"
    exec timeout -k 5 150 env ORVANE_INSIDE=1 unshare --net bash "$0" "$@"
fi

ip link set lo up
WORK=$(mktemp -d "${TMPDIR:-/tmp}/orvane-wayland.XXXXXX")
PIDS=()
cleanup() {
    local p
    for p in "${PIDS[@]}"; do kill -TERM "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
    rm -rf "$WORK"
}
trap cleanup EXIT
FAILED=0
ok() { echo "  ok   $*"; }
bad() {
    echo "  FAIL $*"
    FAILED=$((FAILED + 1))
}

# weston on a private runtime folder; nothing of an X display in the environment.
unset DISPLAY
export XDG_RUNTIME_DIR=$WORK/run WAYLAND_DISPLAY=orvane-wayland
mkdir -m 700 "$XDG_RUNTIME_DIR"
# --debug lets weston-screenshooter take the screen.
weston --backend=headless-backend.so --use-pixman --width=1024 --height=768 --idle-time=0 \
    --socket="$WAYLAND_DISPLAY" --debug --log="$WORK/weston.log" >/dev/null 2>&1 &
PIDS+=($!)
for _ in $(seq 100); do
    [ -S "$XDG_RUNTIME_DIR/$WAYLAND_DISPLAY" ] && break
    sleep 0.1
done
[ -S "$XDG_RUNTIME_DIR/$WAYLAND_DISPLAY" ] || { bad "weston did not start"; cat "$WORK/weston.log"; exit 1; }

# ---- The back-end in process --------------------------------------------------------------
if QT_QPA_PLATFORM=wayland WAYLAND_DEBUG=1 "$QT_TEST" --gtest_filter='QtModal.*:QtWayland.*' >"$WORK/qt.log" 2>"$WORK/qt.wayland"; then
    ok "QtModal and QtWayland cases: $(grep -c '^\[       OK' "$WORK/qt.log") passed"
else
    bad "QtModal and QtWayland cases:"
    grep -aE "Failure|FAILED|error" "$WORK/qt.log" "$WORK/qt.wayland" | head -20 | sed 's/^/         /'
fi
# The first toplevel is the main window: the about box names it as its parent.
main=$(grep -aoE 'xdg_toplevel@[0-9]+' "$WORK/qt.wayland" | head -n 1)
grep -aqF ".set_parent($main)" "$WORK/qt.wayland" &&
    ok "the about box is placed by its owner: xdg_toplevel.set_parent($main)" ||
    bad "no nested dialog named the main window as its parent"

# ---- The packaged program -----------------------------------------------------------------
VERSION=$(sed -n 's/^constexpr const char\* ABOUT_VERSION = "\([0-9.]*\)";$/\1/p' "$SRC/res/catalogue/catalogue.h")
DEB=$BUILD/orvane-updater_${VERSION}_$(dpkg --print-architecture).deb
if [ ! -f "$DEB" ] || [ ! "$DEB" -nt "$BUILD/bin/orvane-updater" ]; then
    [ $FAILED -eq 0 ] && skip "no package as new as the program: build the package target"
    exit 1
fi
dpkg-deb -x "$DEB" "$WORK/root"
EXEC=$(sed -n 's/^Exec=//p' "$WORK/root/usr/share/applications/$APP_ID.desktop" | head -n 1)
mkdir -m 700 "$WORK/home"
env -i PATH="$WORK/root/usr/bin:/usr/bin:/bin" HOME="$WORK/home" XDG_RUNTIME_DIR="$XDG_RUNTIME_DIR" \
    WAYLAND_DISPLAY="$WAYLAND_DISPLAY" XDG_SESSION_TYPE=wayland LANG=C.UTF-8 WAYLAND_DEBUG=1 \
    sh -c "exec $EXEC" >"$WORK/app.log" 2>"$WORK/app.wayland" &
APP=$!
PIDS+=($APP)
# Shown: its first configure acknowledged, and a frame after it.
for _ in $(seq 150); do
    grep -aq 'ack_configure' "$WORK/app.wayland" && break
    kill -0 $APP 2>/dev/null || break
    sleep 0.1
done
sleep 1
request() { grep -aoE "xdg_toplevel@[0-9]+\.$1\([^)]*\)" "$WORK/app.wayland" | head -n 1 | sed 's/.*(\(.*\))/\1/'; }
if ! kill -0 $APP 2>/dev/null; then
    wait $APP
    bad "the program ended at start with exit code $?"
    sed 's/^/         /' "$WORK/app.log"
    exit 1
fi
maps=$(cat "/proc/$APP/maps")
echo "$maps" | grep -q libqwayland && ! echo "$maps" | grep -q libqxcb &&
    ok "it runs on Qt's wayland plugin, no xcb loaded" || bad "not on Qt's wayland plugin alone"
check() {
    local what=$1
    shift
    if "$@"; then ok "$what"; else bad "$what"; fi
}
check "app id $(request set_app_id) is the desktop entry's" test "$(request set_app_id)" = "\"$APP_ID\""
check "title $(request set_title)" test "$(request set_title)" = "\"$TITLE\""
one_size() { [ -n "$(request set_min_size)" ] && [ "$(request set_min_size)" = "$(request set_max_size)" ]; }
check "one size: minimum $(request set_min_size), maximum $(request set_max_size)" one_size

mkdir -p "$BUILD/screenshots" "$WORK/shot"
(cd "$WORK/shot" && weston-screenshooter >/dev/null 2>&1)
shot=$(ls "$WORK/shot"/*.png 2>/dev/null | head -n 1)
if [ -n "$shot" ]; then
    cp "$shot" "$BUILD/screenshots/wayland-main.png"
    # Enlarged and darkened for the OCR (the title of a window without the focus is too pale to
    # read: the title is the one the protocol carried, checked above).
    convert "$shot" -colorspace Gray -resize 300% -level 0%,75% "$WORK/big.png"
    text=$(tesseract "$WORK/big.png" - 2>/dev/null | tr '\n' ' ' | tr -s ' ')
    echo "  seen on the screen: \"$text\""
    case "$text" in
        *"Please select [Update] button"*Update*Finish*) ok "the window is on the screen" ;;
        *) bad "the window's message and buttons are not on the screen" ;;
    esac
else
    bad "weston-screenshooter took no screenshot"
fi

kill -TERM $APP
for _ in $(seq 100); do
    kill -0 $APP 2>/dev/null || break
    sleep 0.1
done
if kill -0 $APP 2>/dev/null; then
    bad "SIGTERM did not end it within 10 s"
else
    wait $APP
    check "SIGTERM ends it with exit code 0" test $? -eq 0
fi
echo "wayland: $FAILED failed"
[ $FAILED -eq 0 ]

#!/usr/bin/env bash
# Checks the Debian package that `cmake --build --preset linux --target package` made: its
# control fields and dependencies, the exact list of files it installs with their owners and
# modes, the desktop entry, the AppStream metadata and the package itself with Debian's
# validators, the manual pages, the theme icons, and then the program unpacked from it,
# started the way the desktop's menu starts it: as an ordinary user, in that user's language,
# one instance per user, writing no file (tests/package/run_installed.sh).
#
#   check_package.sh BUILD_DIR SOURCE_DIR
#
# Exit codes: 0 all passed, 1 a check failed, 77 skipped
# (no package built yet, or a validator missing).
set -uo pipefail
BUILD=$(cd "$1" && pwd)
SRC=$(cd "$2" && pwd)
APP_ID=com.orvane.M1Updater

skip() {
    echo "package check: SKIPPED: $*"
    exit 77
}
VERSION=$(sed -n 's/^constexpr const char\* ABOUT_VERSION = "\([0-9.]*\)";$/\1/p' "$SRC/res/catalogue/catalogue.h")
[ -n "$VERSION" ] || { echo "package check: no ABOUT_VERSION in the catalogue"; exit 1; }
command -v dpkg >/dev/null 2>&1 || skip "not a Debian system"
ARCH=$(dpkg --print-architecture)
DEB=$BUILD/orvane-updater_${VERSION}_${ARCH}.deb
[ -f "$DEB" ] || skip "no $DEB: build it with cmake --build --preset linux --target package"
[ "$DEB" -nt "$BUILD/bin/orvane-updater" ] ||
    skip "the package is older than the program: build the package target again"
for tool in dpkg-deb desktop-file-validate appstreamcli lintian gzip objdump od; do
    command -v $tool >/dev/null 2>&1 ||
        skip "$tool is missing (Debian: dpkg-dev, desktop-file-utils, appstream, lintian, binutils)"
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/orvane-package.XXXXXX")
chmod 755 "$WORK"
PIDS=()
cleanup() {
    local p
    for p in "${PIDS[@]}"; do kill -KILL "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
    rm -rf "$WORK"
}
trap cleanup EXIT
FAILED=0
ok() { echo "  ok   $*"; }
bad() {
    echo "  FAIL $*"
    FAILED=$((FAILED + 1))
}
# check DESCRIPTION COMMAND...: the command's success is the check's.
check() {
    local what=$1
    shift
    if "$@"; then ok "$what"; else bad "$what"; fi
}

echo "package: $DEB ($(stat -c %s "$DEB") bytes)"

# ---- Control fields ---------------------------------------------------------------------
field() { dpkg-deb -f "$DEB" "$1"; }
check "Package is orvane-updater" test "$(field Package)" = orvane-updater
check "Version is the about box's $VERSION" test "$(field Version)" = "$VERSION"
check "Architecture is $ARCH" test "$(field Architecture)" = "$ARCH"
check "Section utils, Priority optional" test "$(field Section)/$(field Priority)" = utils/optional
check "a Maintainer" test -n "$(field Maintainer)"
check "a synopsis and a long description" test "$(dpkg-deb -f "$DEB" Description | wc -l)" -ge 3
DEPENDS=$(field Depends)
echo "  Depends: $DEPENDS"
# The package names in Depends, one a line (alternatives and versions dropped).
DEPENDED=$(echo "$DEPENDS" | tr ',|' '\n\n' | sed 's/(.*)//; s/^ *//; s/ *$//')
depends_on() { echo "$DEPENDED" | grep -Fxq "$1"; }
check "depends on the Qt platform plugins, which no linker sees" depends_on qt6-qpa-plugins
check "depends on Qt's Wayland platform plugin, for Wayland sessions" depends_on qt6-wayland
# Every library the two programs are linked against belongs to a package the package
# depends on: what dpkg-shlibdeps is there for.
EXTRACT=$WORK/root
mkdir -p "$EXTRACT"
dpkg-deb -x "$DEB" "$EXTRACT"
missing=0
for program in orvane-updater orvane-m1-sim; do
    for lib in $(objdump -p "$EXTRACT/usr/bin/$program" | awk '$1 == "NEEDED" { print $2 }'); do
        path=$(ldconfig -p | awk -v l="$lib" '$1 == l { print $NF; exit }')
        owner=$(dpkg -S "$(readlink -f "$path")" 2>/dev/null | head -n 1 | cut -d: -f1)
        [ -z "$owner" ] && owner=$(dpkg -S "$path" 2>/dev/null | head -n 1 | cut -d: -f1)
        if [ -n "$owner" ] && depends_on "$owner"; then :; else
            bad "$program needs $lib (package ${owner:-unknown}), which Depends does not name"
            missing=1
        fi
    done
done
[ $missing -eq 0 ] && ok "every library the programs need is in Depends"

# ---- The files ------------------------------------------------------------------------
EXPECTED=$(
    cat <<EOF
./usr/bin/orvane-m1-sim
./usr/bin/orvane-updater
./usr/share/applications/$APP_ID.desktop
./usr/share/doc/orvane-updater/changelog.gz
./usr/share/doc/orvane-updater/copyright
./usr/share/icons/hicolor/128x128/apps/$APP_ID.png
./usr/share/icons/hicolor/16x16/apps/$APP_ID.png
./usr/share/icons/hicolor/256x256/apps/$APP_ID.png
./usr/share/icons/hicolor/32x32/apps/$APP_ID.png
./usr/share/icons/hicolor/48x48/apps/$APP_ID.png
./usr/share/icons/hicolor/64x64/apps/$APP_ID.png
./usr/share/man/man1/orvane-m1-sim.1.gz
./usr/share/man/man1/orvane-updater.1.gz
./usr/share/metainfo/$APP_ID.metainfo.xml
EOF
)
LISTING=$(dpkg-deb -c "$DEB")
ACTUAL=$(echo "$LISTING" | awk '$1 !~ /^d/ { print $6 }' | LC_ALL=C sort)
if [ "$ACTUAL" = "$(echo "$EXPECTED" | LC_ALL=C sort)" ]; then
    ok "the installed files are exactly the $(echo "$EXPECTED" | wc -l) expected"
else
    bad "the installed files differ from the expected list:"
    diff <(echo "$EXPECTED" | LC_ALL=C sort) <(echo "$ACTUAL") | sed 's/^/         /'
fi
check "every entry owned by root/root" test -z "$(echo "$LISTING" | awk '$2 != "root/root"')"
check "programs 0755, other files 0644, folders 0755" test -z "$(echo "$LISTING" | awk '
    $6 ~ /^\.\/usr\/bin\/./ { if ($1 != "-rwxr-xr-x") print; next }
    $1 ~ /^d/ { if ($1 != "drwxr-xr-x") print; next }
    { if ($1 != "-rw-r--r--") print }')"
check "the programs are stripped" test -z "$(objdump -h "$EXTRACT/usr/bin/orvane-updater" | grep -w .debug_info)"

# ---- Validators -----------------------------------------------------------------------
DESKTOP=$EXTRACT/usr/share/applications/$APP_ID.desktop
METAINFO=$EXTRACT/usr/share/metainfo/$APP_ID.metainfo.xml
out=$(desktop-file-validate "$DESKTOP" 2>&1)
rc=$?
echo "  desktop-file-validate: exit $rc${out:+: $out}"
check "desktop-file-validate passes" test $rc -eq 0
out=$(appstreamcli validate --no-net "$METAINFO" 2>&1)
rc=$?
echo "$out" | sed 's/^/  appstreamcli: /'
check "appstreamcli validate --no-net passes" test $rc -eq 0
# lintian leaves a file of its own in TMPDIR (mldbm-elf-*): give it the work folder, which goes.
out=$(TMPDIR=$WORK lintian --tag-display-limit 0 "$DEB" 2>&1 | grep -v "running with root privileges")
echo "  lintian: ${out:-no tags}"
check "lintian shows no error" test -z "$(echo "$out" | grep '^E:')"

# ---- Contents -------------------------------------------------------------------------
desktop_key() { sed -n "s/^$1=//p" "$DESKTOP" | head -n 1; }
check "the menu shows \"Orvane M1 Firmware Updater\"" test "$(desktop_key Name)" = "Orvane M1 Firmware Updater"
check "in Categories Utility" test "$(desktop_key Categories)" = "Utility;"
check "Exec names the installed program" test -x "$EXTRACT/usr/bin/$(desktop_key Exec | cut -d' ' -f1)"
check "Icon is the theme icon by name" test "$(desktop_key Icon)" = "$APP_ID"
# metainfo_has TEXT...: every text is in the metadata.
metainfo_has() {
    local text
    for text in "$@"; do grep -qF "$text" "$METAINFO" || return 1; done
}
check "the metadata's id and launchable are the desktop entry's" \
    metainfo_has "<id>$APP_ID</id>" "<launchable type=\"desktop-id\">$APP_ID.desktop</launchable>"
check "metadata licence CC0-1.0, project licence LicenseRef-proprietary" \
    metainfo_has "<metadata_license>CC0-1.0</metadata_license>" \
    "<project_license>LicenseRef-proprietary</project_license>"
check "a summary and a description" metainfo_has "<summary>" "<description>"
check "the metadata's release is $VERSION" metainfo_has "<release version=\"$VERSION\""
for page in orvane-updater orvane-m1-sim; do
    file=$EXTRACT/usr/share/man/man1/$page.1.gz
    check "manual page $page(1): compressed, its own title" \
        test "$(zcat "$file" | grep -c "^\.TH ${page^^} 1 ")" -eq 1
    if command -v man >/dev/null 2>&1; then
        warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$file" 2>&1 >/dev/null)
        check "manual page $page(1) reads without a warning${warnings:+ ($warnings)}" test -z "$warnings"
    else
        echo "  skip reading $page(1): man is not installed"
    fi
done
check "the simulator runs and knows its name" \
    test "$("$EXTRACT/usr/bin/orvane-m1-sim" --version 2>&1 | cut -d' ' -f1)" = orvane-m1-sim
for size in 16 32 48 64 128 256; do
    png=$EXTRACT/usr/share/icons/hicolor/${size}x${size}/apps/$APP_ID.png
    # The IHDR chunk: width and height (big-endian), bit depth 8, colour type 6 (RGBA).
    header=$(od -An -tu1 -j12 -N14 "$png" | tr -s ' \n' ' ')
    want=" 73 72 68 82 0 0 $((size >> 8)) $((size & 255)) 0 0 $((size >> 8)) $((size & 255)) 8 6 "
    check "icon ${size}x${size}: a ${size} by ${size} PNG with alpha" test "$header" = "$want"
done

# ---- The program as the menu starts it --------------------------------------------------
bash "$(dirname "$0")/run_installed.sh" "$EXTRACT"
case $? in
    0) ok "the unpacked program starts from its desktop entry as a user expects" ;;
    77) echo "  skip the unpacked program's run (see above)" ;;
    *) bad "the unpacked program's run" ;;
esac

echo "package check: $FAILED failed"
[ "$FAILED" -eq 0 ]

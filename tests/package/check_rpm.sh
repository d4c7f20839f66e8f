#!/usr/bin/env bash
# Checks the RPM that the package target made beside the .deb: the .deb's name, version and
# description; requirements that any RPM distribution resolves (sonames with the symbol
# versions the programs use, the Qt platform plugins by file, no Debian package names); the
# .deb's files with the same owners and modes; rpmlint; and the unpacked program started as
# the menu starts it (run_installed.sh). No RPM distribution is at hand here: this is what can
# be checked on Debian.
#
#   check_rpm.sh BUILD_DIR SOURCE_DIR      Exit codes: 0 passed, 1 failed, 77 skipped.
set -uo pipefail
BUILD=$(cd "$1" && pwd)
SRC=$(cd "$2" && pwd)
skip() { echo "rpm check: SKIPPED: $*"; exit 77; }
for tool in rpm rpm2cpio cpio rpmlint dpkg dpkg-deb objdump; do
    command -v $tool >/dev/null 2>&1 || skip "$tool is missing (Debian: rpm, rpmlint, cpio, dpkg-dev, binutils)"
done
VERSION=$(sed -n 's/^constexpr const char\* ABOUT_VERSION = "\([0-9.]*\)";$/\1/p' "$SRC/res/catalogue/catalogue.h")
RPM=$BUILD/orvane-updater-$VERSION-1.$(rpm --eval '%{_arch}').rpm
DEB=$BUILD/orvane-updater_${VERSION}_$(dpkg --print-architecture).deb
[ -f "$RPM" ] && [ -f "$DEB" ] || skip "no $RPM or .deb: build them with cmake --build --preset linux --target package"
[ "$RPM" -nt "$BUILD/bin/orvane-updater" ] || skip "the RPM is older than the program: build the package target again"

WORK=$(mktemp -d "${TMPDIR:-/tmp}/orvane-rpm.XXXXXX")
chmod 755 "$WORK"
trap 'rm -rf "$WORK"' EXIT
FAILED=0
check() {
    local what=$1
    shift
    if "$@"; then echo "  ok   $what"; else echo "  FAIL $what"; FAILED=$((FAILED + 1)); fi
}
same() { [ "$1" = "$2" ] || { printf '  expected: %s\n  got:      %s\n' "$2" "$1"; return 1; }; }
q() { rpm -qp --qf "$1" "$RPM" 2>/dev/null; }
echo "rpm: $RPM ($(stat -c %s "$RPM") bytes)"

check "Name, Version, Summary are the .deb's; Release 1" same "$(q '%{NAME} %{VERSION}-%{RELEASE} %{SUMMARY}')" \
    "$(dpkg-deb -f "$DEB" Package) $VERSION-1 $(dpkg-deb -f "$DEB" Description | head -n 1)"
check "the description is the .deb's long one" same "$(q '%{DESCRIPTION}')" \
    "$(dpkg-deb -f "$DEB" Description | tail -n +2 | sed 's/^ //; s/^\.$//')"

mkdir "$WORK/deb" "$WORK/rpm"
dpkg-deb -x "$DEB" "$WORK/deb"
rpm2cpio "$RPM" | (cd "$WORK/rpm" && cpio -idm --quiet)
REQUIRES=$(rpm -qp --requires "$RPM" 2>/dev/null)
# Every library a program is linked against, and the newest symbol version it takes from the
# C library, the C++ library and Qt Core: those are the floors an RPM distribution must meet.
for program in orvane-updater orvane-m1-sim; do
    refs=$(objdump -p "$WORK/rpm/usr/bin/$program")
    for lib in $(echo "$refs" | awk '$1 == "NEEDED" { print $2 }'); do
        check "$program: requires $lib()(64bit)" grep -Fxq "$lib()(64bit)" <<<"$REQUIRES"
    done
    for pair in libc.so.6:GLIBC_2 libstdc++.so.6:GLIBCXX_3 libQt6Core.so.6:Qt_6.; do
        floor=$(echo "$refs" | awk -v p="${pair#*:}" 'index($NF, p) == 1 { print $NF }' | sort -V | tail -n 1)
        [ -n "$floor" ] && check "$program: requires ${pair%%:*}($floor)(64bit)" \
            grep -Fxq "${pair%%:*}($floor)(64bit)" <<<"$REQUIRES"
    done
done
for plugin in libqxcb.so libqwayland-generic.so; do
    check "requires the platform plugin $plugin by file" grep -Fxq "/usr/lib64/qt6/plugins/platforms/$plugin" <<<"$REQUIRES"
done
check "no package names: every requirement is a soname, a file or rpm's own" \
    same "$(grep -Ev '^(/|rpmlib\(|rtld\(|[^ ]+\.so\.[0-9]+\([^)]*\)\(64bit\)$)' <<<"$REQUIRES")" ""

# The files: the .deb's, with the same owners and modes, and byte for byte the same
# apart from the programs, from which rpmbuild strips the compiler's .comment note too.
check "the files, their owners and modes are the .deb's" \
    same "$(q '[%{FILEMODES:perms} %{FILEUSERNAME}/%{FILEGROUPNAME} %{FILENAMES}\n]' | awk '$1 !~ /^d/' | LC_ALL=C sort -k3)" \
    "$(dpkg-deb -c "$DEB" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $1, $2, $6 }' | LC_ALL=C sort -k3)"
check "the same bytes as the .deb's, the programs aside" \
    diff -r -x orvane-updater -x orvane-m1-sim "$WORK/deb/usr/share" "$WORK/rpm/usr/share"
check "it owns no folder but its documentation's" \
    same "$(q '[%{FILEMODES:perms} %{FILEUSERNAME} %{FILENAMES}\n]' | awk '$1 ~ /^d/')" \
    "drwxr-xr-x root /usr/share/doc/orvane-updater"

# rpmlint: no error. An unsigned package is one ("no-signature"): the RPM is signed, if at
# all, by whoever publishes it with their GPG key, not by this build.
lint=$(rpmlint "$RPM" 2>&1)
echo "$lint" | grep -E ': [EW]: ' | sed 's/^/  rpmlint: /'
check "rpmlint shows no error but no-signature" same "$(grep ': E: ' <<<"$lint" | grep -v ': E: no-signature$')" ""

check "the simulator runs" same "$("$WORK/rpm/usr/bin/orvane-m1-sim" --version 2>&1 | cut -d' ' -f1)" orvane-m1-sim
bash "$(dirname "$0")/run_installed.sh" "$WORK/rpm"
case $? in
    0) echo "  ok   the program unpacked from the RPM starts from its desktop entry as a user expects" ;;
    77) echo "  skip the unpacked program's run (see above)" ;;
    *) echo "  FAIL the program unpacked from the RPM"; FAILED=$((FAILED + 1)) ;;
esac
echo "rpm check: $FAILED failed"
[ "$FAILED" -eq 0 ]

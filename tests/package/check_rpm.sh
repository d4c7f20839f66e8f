#!/usr/bin/env bash
# Checks the RPM the package target made beside the .deb, as far as Debian can: against the
# .deb, its requirements, a copy signed by the build's step and rpmlint on it, the unpacked
# program started as the menu starts it.
#   check_rpm.sh BUILD_DIR SOURCE_DIR      Exit codes: 0 passed, 1 failed, 77 skipped.
set -uo pipefail
BUILD=$(cd "$1" && pwd)
skip() { echo "rpm check: SKIPPED: $*"; exit 77; }
for tool in rpm rpm2cpio cpio rpmlint dpkg-deb objdump gpg; do command -v $tool >/dev/null || skip "no $tool"; done
VERSION=$(sed -n 's/^constexpr const char\* ABOUT_VERSION = "\([0-9.]*\)";$/\1/p' "$2/res/catalogue/catalogue.h")
RPM=$BUILD/orvane-updater-$VERSION-1.$(rpm --eval '%{_arch}').rpm
DEB=$BUILD/orvane-updater_${VERSION}_$(dpkg --print-architecture).deb
[ -f "$RPM" ] && [ -f "$DEB" ] || skip "no $RPM or .deb: build them with cmake --build --preset linux --target package"
[ "$RPM" -nt "$BUILD/bin/orvane-updater" ] || skip "the RPM is older than the program: build the package target again"
WORK=$(mktemp -d "${TMPDIR:-/tmp}/orvane-rpm.XXXXXX") && chmod 755 "$WORK" && export GNUPGHOME=$WORK/gnupg
trap 'gpgconf --kill gpg-agent; rm -rf "$WORK"' EXIT
FAILED=0
check() { if "${@:2}"; then echo "  ok   $1"; else echo "  FAIL $1"; FAILED=$((FAILED + 1)); fi; }
same() { [ "$1" = "$2" ] || { printf '  expected: %s\n  got:      %s\n' "$2" "$1"; return 1; }; }
q() { rpm -qp --qf "$1" "$RPM" 2>/dev/null; }
deb() { dpkg-deb -f "$DEB" "$1"; }
check "Name, Version, Summary are the .deb's; Release 1" same "$(q '%{NAME} %{VERSION}-%{RELEASE} %{SUMMARY}')" \
    "$(deb Package) $VERSION-1 $(deb Description | head -n 1)"
check "the description is the .deb's" same "$(q '%{DESCRIPTION}')" "$(deb Description | sed '1d; s/^ //; s/^\.$//')"
mkdir "$WORK/deb" "$WORK/rpm" && dpkg-deb -x "$DEB" "$WORK/deb" && rpm2cpio "$RPM" | (cd "$WORK/rpm" && cpio -idm --quiet)
REQUIRES=$(rpm -qp --requires "$RPM" 2>/dev/null)
requires() { grep -Fxq "$1" <<<"$REQUIRES"; }
# Every library a program is linked against, and the newest symbol version it takes from the
# C and C++ libraries and Qt Core: the floors an RPM distribution must meet.
for program in orvane-updater orvane-m1-sim; do
    refs=$(objdump -p "$WORK/rpm/usr/bin/$program")
    for lib in $(awk '$1 == "NEEDED" { print $2 }' <<<"$refs"); do
        check "$program: requires $lib()(64bit)" requires "$lib()(64bit)"
    done
    for pair in libc.so.6:GLIBC_2 libstdc++.so.6:GLIBCXX_3 libQt6Core.so.6:Qt_6.; do
        floor=$(awk -v p="${pair#*:}" 'index($NF, p) == 1 { print $NF }' <<<"$refs" | sort -V | tail -n 1)
        [ -z "$floor" ] || check "$program: requires ${pair%%:*}($floor)(64bit)" requires "${pair%%:*}($floor)(64bit)"
    done
done
for plugin in libqxcb.so libqwayland-generic.so; do
    check "requires the platform plugin $plugin by file" requires "/usr/lib64/qt6/plugins/platforms/$plugin"
done
check "no package names: every requirement is a soname, a file or rpm's own" \
    same "$(grep -Ev '^(/|rpmlib\(|rtld\(|[^ ]+\.so\.[0-9]+\([^)]*\)\(64bit\)$)' <<<"$REQUIRES")" ""

# The files: the .deb's, with the same owners and modes, the same bytes apart from the
# programs (rpmbuild strips the compiler's .comment note from them too).
check "the files, their owners and modes are the .deb's" \
    same "$(q '[%{FILEMODES:perms} %{FILEUSERNAME}/%{FILEGROUPNAME} %{FILENAMES}\n]' | awk '$1 !~ /^d/' | sort -k3)" \
    "$(dpkg-deb -c "$DEB" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $1, $2, $6 }' | sort -k3)"
check "the same bytes as the .deb's, the programs aside" diff -r "$WORK/deb/usr/share" "$WORK/rpm/usr/share"
check "it owns no folder but its documentation's" same "$(q '[%{FILEMODES:perms} %{FILENAMES}\n]' | awk '$1 ~ /^d/')" \
    "drwxr-xr-x /usr/share/doc/orvane-updater"
# A copy signed as a release is, through the build's step, with a key made here whose
# passphrase is in a file; gpg's command lines are written down as ps shows them. A wrong
# passphrase must fail and leave no package. Then the key is imported as a user imports the
# company's (rpm's database is ~/.rpmdb on Debian), and rpmlint must find no error at all.
KEY=release@orvane.invalid SIGNED=$WORK/signed/${RPM##*/} STEP=$2/cmake/sign_rpm.cmake
mkdir -m 700 "$GNUPGHOME" "$WORK/signed" && echo no >"$WORK/wrong" && head -c 18 /dev/urandom | base64 >"$WORK/passphrase"
gpg --batch --pinentry-mode loopback --passphrase-file "$WORK/passphrase" --quick-gen-key $KEY 2>/dev/null
printf '#!/bin/sh\necho "$*" >>%s/command-lines\nexec gpg "$@"\n' "$WORK" >"$WORK/gpg" && chmod 755 "$WORK/gpg"
sign() { cp "$RPM" "$SIGNED" && cmake -DRPM="$SIGNED" -DKEY=$KEY -DPASSPHRASE_FILE="$1" -DGPG="$WORK/gpg" -P "$STEP" \
    >>"$WORK/sign.log" 2>&1; }
sign "$WORK/wrong"
check "a wrong passphrase fails the signing step, which leaves no RPM" test $? -ne 0 -a ! -e "$SIGNED"
sign "$WORK/passphrase"
check "the build's signing step signs and verifies a copy" test $? -eq 0
gpg --armor --export $KEY >"$WORK/key.asc" && HOME=$WORK rpm --import "$WORK/key.asc"
check "rpm -K: the signature is good" same "$(HOME=$WORK rpm -K "$SIGNED")" "$SIGNED: digests signatures OK"
check "gpg was given the passphrase's file" grep -qF -- "--passphrase-file $WORK/passphrase " "$WORK/command-lines"
check "the passphrase is on no command line and in no output" \
    test -z "$(grep -lF "$(cat "$WORK/passphrase")" "$WORK/command-lines" "$WORK/sign.log")"
lint=$(HOME=$WORK rpmlint "$SIGNED" 2>&1)
grep -E ': [EW]: ' <<<"$lint" | sed 's/^/  rpmlint: /'
check "rpmlint on the signed RPM: 0 errors" grep -q ' 0 errors, ' <<<"$lint"

bash "$(dirname "$0")/run_installed.sh" "$WORK/rpm"
rc=$?
[ $rc -eq 77 ] || check "the program unpacked from the RPM starts from its desktop entry as a user expects" test $rc -eq 0
echo "rpm check: $FAILED failed"
[ "$FAILED" -eq 0 ]

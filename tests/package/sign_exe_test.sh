#!/usr/bin/env bash
# Signs copies of the release program through the build's own step (cmake/sign_exe.cmake)
# with certificates made here by openssl, without a timestamp (no time-stamp server is
# reachable), and starts the signed program under wine, driven by its own test beside it.
#   sign_exe_test.sh SOURCE_DIR orvane-updater.exe win32_updater_test.exe WINE_PREFIX
# Exit codes: 0 passed, 1 failed, 77 skipped (a tool missing; wine's run needs root).
set -uo pipefail
SRC=$(cd "$1" && pwd) PROGRAM=$(readlink -f "$2") DRIVER=$(readlink -f "$3") PREFIX=$(readlink -m "$4")
for tool in osslsigncode openssl cmake objdump; do command -v $tool >/dev/null || { echo "SKIPPED: no $tool"; exit 77; }; done
WORK=$(mktemp -d "${TMPDIR:-/tmp}/orvane-sign.XXXXXX") && chmod 755 "$WORK" && trap 'rm -rf "$WORK"' EXIT
cd "$WORK" || exit 1
FAILED=0
check() { if "${@:2}"; then echo "  ok   $1"; else echo "  FAIL $1"; FAILED=$((FAILED + 1)); fi; }
check "the program is marked terminal-server aware" grep -q TERMINAL_SERVICE_AWARE <(objdump -p "$PROGRAM")

head -c 18 /dev/urandom | base64 >password
echo not-the-password >wrong
cp password password.out # openssl reads one line a use from a file named twice
certificate() {
    openssl req -x509 -newkey rsa:2048 -sha256 -days 2 -subj "/CN=$1/O=Orvane" -keyout "$1.key" \
        -addext extendedKeyUsage=codeSigning -addext keyUsage=digitalSignature -out "$1.pem" "${@:2}" 2>/dev/null
}
certificate signer -passout file:password && certificate stranger -nodes &&
    openssl pkcs12 -export -inkey signer.key -in signer.pem -passin file:password -passout file:password.out \
        -out signer.p12 || { echo "FAIL: openssl made no certificate"; exit 1; }
# osslsigncode as ps sees it: every command line it is started with is written down.
printf '#!/bin/sh\necho "$*" >>%s/command-lines\nexec %s "$@"\n' "$WORK" "$(command -v osslsigncode)" >osslsigncode &&
    chmod 755 osslsigncode

while read -r name outcome args; do
    osslsigncode remove-signature -in "$PROGRAM" -out "$name.exe" >/dev/null 2>&1 || cp "$PROGRAM" "$name.exe"
    # shellcheck disable=SC2086 # one word per argument
    cmake -DPROGRAM="$WORK/$name.exe" -DOSSLSIGNCODE="$WORK/osslsigncode" $args -P "$SRC/cmake/sign_exe.cmake" >"$name.log" 2>&1
    rc=$?
    if [ "$outcome" = fails ]; then
        check "$name: the step fails and leaves no program" test $rc -ne 0 -a ! -e "$name.exe" -a ! -e "$name.exe.signing"
        continue
    fi
    osslsigncode verify -CAfile signer.pem -in "$name.exe" >"$name.verify" 2>&1
    verified=$?
    check "$name: signed, and the signature verifies against the certificate" test $rc -eq 0 -a $verified -eq 0 -a \
        "$(grep -c -e '^Signature verification: ok' -e 'Subject: /CN=signer/O=Orvane' "$name.verify")" -ge 2
    check "$name: SHA-256" grep -q "Message digest algorithm *: SHA256" "$name.verify"
done <<EOF
pkcs12 signs -DPKCS12=$WORK/signer.p12 -DPASSWORD_FILE=$WORK/password -DCAFILE=$WORK/signer.pem
pem signs -DCERT=$WORK/signer.pem -DKEY=$WORK/signer.key -DPASSWORD_FILE=$WORK/password -DCAFILE=$WORK/signer.pem
untrusted fails -DPKCS12=$WORK/signer.p12 -DPASSWORD_FILE=$WORK/password -DCAFILE=$WORK/stranger.pem
wrong-password fails -DPKCS12=$WORK/signer.p12 -DPASSWORD_FILE=$WORK/wrong -DCAFILE=$WORK/signer.pem
EOF
check "osslsigncode was given the password file, never the password" grep -q -- "-readpass $WORK/password " command-lines
check "the password is on no command line and in no output" test -z "$(grep -lF "$(cat password)" command-lines ./*.log)"
sed 's/^/  verify: /' pkcs12.verify

mkdir run && cp pkcs12.exe run/orvane-updater.exe && cp "$DRIVER" run/
bash "$SRC/tests/win32/run_on_display.sh" run "$PREFIX" "$WORK/run/$(basename "$DRIVER")" \
    --gtest_filter=UpdaterExeRights.StartedTheWayExplorerDoesItRunsAndEnds
rc=$?
[ $rc -eq 77 ] || check "the signed program starts under wine, shows its window and ends with Finish" test $rc -eq 0
echo "signing test: $FAILED failed"
[ $FAILED -eq 0 ] || exit 1
[ $rc -ne 77 ] || exit 77

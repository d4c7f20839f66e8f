# A private X display for the test scripts that run the real program. Sourced, not run.
#
# orvane_start_xvfb LOG [SCREEN]: starts Xvfb on a free display number, listening only on its
# abstract socket (so only this network namespace reaches it), exports DISPLAY and sets
# XVFB_PID; returns 1 when no display came up within 10 s (its output is in LOG).
#
# -noreset: a server whose last client leaves resets, and drops a client that is still in its
# connection handshake at that moment; the program's Qt then aborts with "could not connect
# to display". Short xdotool connections while the program starts made that happen under
# load. Xvfb tells its display number and the newline in two writes: one read waits for the
# whole line (a read that timed out between the two would leave the number behind and the
# next read an empty line).
orvane_start_xvfb() {
    local log=$1 screen=${2:-1024x768x24} fd number=""
    exec {fd}<> <(:)
    Xvfb -displayfd "$fd" -screen 0 "$screen" -nolisten tcp -nolisten unix -noreset >"$log" 2>&1 &
    XVFB_PID=$!
    read -r -t 10 number <&"$fd"
    exec {fd}>&-
    [ -n "$number" ] || return 1
    export DISPLAY=:$number
}

#!/usr/bin/env bash
# One operator session at a terminal: keystrokes go into script(1) running tosmire-ips-sim.exe
# while evtlog appends failed logons; each key is typed only after the answer to the previous
# one is in the transcript, and the transcript is checked as the operator saw it.
# Usage: operator_session.sh <wine-run> <folder of the simulated build>
set -u
wine_run=$1
bin=$2
sim=$(mktemp -d /tmp/tosmire-session.XXXXXX)
export TOSMIRE_SIM_DIR="Z:${sim//\//\\}"
transcript=$sim/transcript
failures=0
monitor=

finish() {
    exec 3>&-
    [ -n "$monitor" ] && kill "$monitor" 2>/dev/null
    [ -n "${KEEP_SESSION:-}" ] || rm -rf "$sim"
}
trap finish EXIT

# The screen as text: escape sequences out; blanks out too, since the terminal renderer
# writes runs of blanks as cursor moves.
screen() {
    sed -e 's/\x1b\[[0-9;?]*[a-zA-Z]//g' -e 's/\x1b[()][0-9A-Z]//g' "$transcript" | tr -d ' \r\n'
}

# How often a text (blanks ignored) stands in the transcript.
count() {
    screen | grep -oF -- "${1// /}" | wc -l
}

# Waits until the text stands in the transcript at least n times (default 1), up to a limit in
# hundredths of a second (default 3000).
wait_for() {
    local n=${2:-1} limit=${3:-3000}
    local end=$((SECONDS + limit / 100))
    while [ $SECONDS -le $end ]; do
        [ "$(count "$1")" -ge "$n" ] && return 0
        sleep 0.05
    done
    return 1
}

expect() {
    wait_for "$@" && return 0
    echo "not shown (${2:-1} times): $1"
    failures=$((failures + 1))
    return 1
}

# Types one key and waits for its answer. The key console discards what is typed while it
# still handles the previous key: each key comes after the whole answer to the one before, and
# one typed in the moment before the discard, with no answer after 10 seconds (which a key that
# acted never takes), is typed again.
key() {
    for _ in 1 2 3; do
        printf '%b' "$1" >&3
        wait_for "$2" "${3:-1}" 1000 && return 0
    done
    echo "no answer to key $1: $2"
    failures=$((failures + 1))
    return 1
}

"$wine_run" "$bin/evtlog.exe" 4624 --address 192.0.2.1 >/dev/null || exit 1
mkfifo "$sim/keys"
# The paths reach script's shell as variables, not as words of its command: the checkout's
# folder may hold blanks or quotes.
TOSMIRE_PTY_EMULATOR=$wine_run TOSMIRE_PTY_PROGRAM=$bin/tosmire-ips-sim.exe \
    script -qefc 'exec "$TOSMIRE_PTY_EMULATOR" "$TOSMIRE_PTY_PROGRAM"' "$transcript" <"$sim/keys" >/dev/null &
monitor=$!
exec 3>"$sim/keys"

expect "# Waiting for new events... [" || exit 1
"$wine_run" "$bin/evtlog.exe" 4625 --address 203.0.113.5 --count 3 >/dev/null
expect "203.0.113.5" 3
key l "# Logon failure history:" && expect "[   3] 203.0.113.5"
key r "# Reset logon failure history:OK"
key p "{paused}"
"$wine_run" "$bin/evtlog.exe" 4625 --address 203.0.113.6 --count 2 >/dev/null
# The loop reads after it served a request: the second answer comes after the paused read.
key l "# Logon failure history:EMPTY" 1
key l "# Logon failure history:EMPTY" 2
key p "{resumed}"
key b "# netsh ipsec static show filterlist name=Brek level=verbose" && expect 'Filter List with name "Brek" does not exist.' 
key a "# IP addresses on the whitelist:"
key n "# User names on the whitelist:"
key '~' "# ~ debug console enabled. Press F1, h or ? for help." && expect "Log file path:"
key h "Log file path:" 2
key '\033' "#   debug console disabled."
key q "# Exitting... (Quit)"

for _ in $(seq 1 2000); do
    kill -0 "$monitor" 2>/dev/null || break
    sleep 0.01
done
wait "$monitor"
status=$?
monitor=
[ "$status" = 0 ] || { echo "exit code $status"; failures=$((failures + 1)); }
# Failures typed while paused were dropped: the address never shows.
[ "$(count 203.0.113.6)" = 0 ] || { echo "a record read while paused was processed"; failures=$((failures + 1)); }
[ "$(count "# Logon failure history:")" = 3 ] || { echo "history not shown three times"; failures=$((failures + 1)); }
[ $failures = 0 ] || { screen | tail -60; exit 1; }
echo "operator session OK"

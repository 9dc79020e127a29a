#!/usr/bin/env bash
# Live demonstration on the simulated Windows of this build (run tools/build.sh first):
# tosmire-ips-sim.exe runs as the service tosmire.IPS.demo, installed and started by its own
# service commands, and follows a fresh simulated Security log and Remote Desktop channel with
# the default configuration and the simulated Security message file registered (each accepted
# record is dumped with its texts before its decision), while evtlog appends a burst of failed
# logons: one attacker reaching the network threshold (21), interleaved with clear-text
# failures of other addresses that stay below theirs (4), Remote Desktop connection events of
# an attacker (threshold 4) and of a whitelisted address.
# Shows the service's log file and the filter list of the simulated netsh (in build/bin/system32,
# the simulated build's system folder), then stops the service in order (its quit line ends the
# log file) and removes it.
set -euo pipefail
cd "$(dirname "$0")/.."
run=build/wine-run
bin=build/bin/sim
if [ ! -x "$run" ] || [ ! -f "$bin/tosmire-ips-sim.exe" ] || [ ! -f "$bin/evtlog.exe" ]; then
    echo "demo: build first (tools/build.sh)" >&2
    exit 2
fi

name=tosmire.IPS.demo
sim="$PWD/build/demo-sim"
rm -rf "$sim"
mkdir -p "$sim"
export TOSMIRE_SIM_DIR="Z:${sim//\//\\}"
log="$PWD/build/wineprefix/drive_c/windows/system32/LogFiles/$name.log"
# The program writes UTF-16, the tools it starts write narrow text: show both as ASCII.
show() { tr -d '\000\r' < "$log" 2>/dev/null || true; }
evtlog() { "$run" "$bin/evtlog.exe" "$@" >/dev/null; }
# Service commands end the program with exit code 1, as every command does.
monitor() { { "$run" "$bin/tosmire-ips-sim.exe" "-d:+.demo" "$@" || true; } | tr -d '\000\r'; }
state() { "$run" sc query "$name" 2>/dev/null | tr -d '\r' | grep -o 'RUNNING\|STOPPED\|PENDING' | head -1 || true; }
wait_for() { # text, tenths of a second
    for _ in $(seq "$2"); do
        show | grep -q "$1" && return 0
        sleep 0.1
    done
    return 1
}

# Wine's server, and every service with it, ends some seconds after its last ordinary process:
# an idle cmd.exe, reading a pipe that stays open until the end, keeps the monitor running
# between the evtlog commands. The pipe's only writer is a sleep of ours: when it ends, so does
# cmd.exe, in order.
mkfifo "$sim/hold"
sleep 3600 >"$sim/hold" &
writer=$!
"$run" cmd.exe <"$sim/hold" >/dev/null 2>&1 &
holder=$!

# Whatever happens, the service, its configuration of the simulation and the message-file
# registration go again, and then the holding process.
cleanup() {
    monitor uninstall >/dev/null 2>&1 || true
    "$run" reg delete 'HKLM\SOFTWARE\tosmire-evtsim' /f >/dev/null 2>&1 || true
    evtlog unregister-messages || true
    kill "$writer" 2>/dev/null || true
    wait "$holder" 2>/dev/null || true
}
trap cleanup EXIT

# The defaults apply: no configuration of an earlier run is left in the prefix.
"$run" reg delete 'HKLM\SYSTEM\CurrentControlSet\Services\tosmire.IPS\Parameters' /f >/dev/null 2>&1 || true
"$run" reg delete 'HKLM\SYSTEM\CurrentControlSet\services\eventlog\Application\tosmire.IPS' /f >/dev/null 2>&1 || true
# A service gets no environment of ours: it finds the simulation folder in the registry.
"$run" reg add 'HKLM\SOFTWARE\tosmire-evtsim' /v TOSMIRE_SIM_DIR /t REG_SZ /d "$TOSMIRE_SIM_DIR" /f >/dev/null

# Wine has no Security message files: register the simulated one, so that every accepted
# record is dumped with its texts; removed again at the end.
evtlog register-messages

evtlog 4624 --address 192.0.2.1 --user operator   # the newest record when monitoring starts
echo "== install and start the service $name"
monitor install
if ! wait_for "# Waiting for new events" 600; then
    show
    echo "demo: the monitor did not start" >&2
    exit 1
fi

echo "== burst: 203.0.113.66 attacks, 198.51.100.1-3 fail now and then, Remote Desktop from 192.0.2.7 and 127.0.0.1"
for round in 1 2 3 4 5 6 7; do
    evtlog 4625 --address 203.0.113.66 --user administrator --count 3
    evtlog 4625 --address "198.51.100.$(( round % 3 + 1 ))" --user "user$round" --logon-type 8
    evtlog 140 --address 192.0.2.7
    [ $(( round % 3 )) -eq 0 ] && evtlog 140 --address 127.0.0.1
done

for _ in $(seq 300); do
    [ "$(show | grep -c '# exit:')" -ge 2 ] && break
    sleep 0.1
done
sleep 0.5

echo "== stop the service"
monitor stop
for _ in $(seq 300); do
    [ "$(state)" = STOPPED ] && break
    sleep 0.1
done
wait_for "(Quit)" 100 || true
echo "== the service's log file ($log)"
show
echo
echo "== simulated netsh: filter list Brek"
"$run" build/bin/system32/netsh.exe ipsec static show filterlist name=Brek level=verbose | tr -d '\r'
echo "== remove the service"
monitor uninstall

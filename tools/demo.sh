#!/usr/bin/env bash
# Live demonstration on the simulated Windows of this build (run tools/build.sh first):
# tosmire-ips-sim.exe follows a fresh simulated Security log and Remote Desktop channel with
# the default configuration and the simulated Security message file registered (each accepted
# record is dumped with its texts before its decision), while evtlog appends a burst of failed
# logons: one attacker reaching the network threshold (21), interleaved with clear-text
# failures of other addresses that stay below theirs (4), Remote Desktop connection events of
# an attacker (threshold 4) and of a whitelisted address.
# Shows what the monitor printed and the simulated netsh's filter list, then stops the monitor.
set -euo pipefail
cd "$(dirname "$0")/.."
run=build/wine-run
bin=build/bin/sim
if [ ! -x "$run" ] || [ ! -f "$bin/tosmire-ips-sim.exe" ] || [ ! -f "$bin/evtlog.exe" ]; then
    echo "demo: build first (tools/build.sh)" >&2
    exit 2
fi

sim="$PWD/build/demo-sim"
rm -rf "$sim"
mkdir -p "$sim"
export TOSMIRE_SIM_DIR="Z:${sim//\//\\}"
out="$sim/monitor.txt"
# The program writes UTF-16, the tools it starts write narrow text: show both as ASCII.
show() { tr -d '\000\r' < "$out"; }
evtlog() { "$run" "$bin/evtlog.exe" "$@" >/dev/null; }

# The defaults apply: no configuration of an earlier run is left in the prefix.
"$run" reg delete 'HKLM\SYSTEM\CurrentControlSet\Services\tosmire.IPS\Parameters' /f >/dev/null 2>&1 || true
"$run" reg delete 'HKLM\SYSTEM\CurrentControlSet\services\eventlog\Application\tosmire.IPS' /f >/dev/null 2>&1 || true

# Wine has no Security message files: register the simulated one, so that every accepted
# record is dumped with its texts; removed again before the end.
evtlog register-messages

evtlog 4624 --address 192.0.2.1 --user operator   # the newest record when monitoring starts
"$run" "$bin/tosmire-ips-sim.exe" >"$out" 2>&1 &
for _ in $(seq 600); do
    show | grep -q "# Waiting for new events" && break
    sleep 0.1
done
if ! show | grep -q "# Waiting for new events"; then
    show
    echo "demo: the monitor did not start" >&2
    evtlog unregister-messages
    "$run" --server-kill
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
echo "== monitor output"
show
echo
echo "== simulated netsh: filter list Brek"
"$run" "$bin/netsh.exe" ipsec static show filterlist name=Brek level=verbose | tr -d '\r'
evtlog unregister-messages
"$run" --server-kill

#!/usr/bin/env bash
# Runs every benchmark and prints one table of figures, one column per build, with the machine
# and the Wine version. Benchmarks print figures; they never fail on timing.
#
# Usage: tools/bench.sh [--idle-seconds N] [--blocks N] [--records N] [--rounds N] [BUILD_DIR ...]
#   BUILD_DIR   build trees to measure side by side (default: build; configured and built
#               first when missing). Each runs in its own Wine prefix (BUILD_DIR/wineprefix).
#   --idle-seconds  how long the waiting monitor is watched (default 60; less for a quick run).
#   --blocks, --records  bench_block's latency samples and whole-path records (200, 20000).
#   --rounds    bench_decode's rounds (200).
set -uo pipefail
cd "$(dirname "$0")/.."

idle_seconds=60 blocks=200 records=20000 rounds=200
builds=()
while [ $# -gt 0 ]; do
    case "$1" in
        --idle-seconds) idle_seconds="$2"; shift 2 ;;
        --blocks) blocks="$2"; shift 2 ;;
        --records) records="$2"; shift 2 ;;
        --rounds) rounds="$2"; shift 2 ;;
        -h|--help) sed -n '2,11p' "$0"; exit 0 ;;
        *) builds+=("${1%/}"); shift ;;
    esac
done
[ ${#builds[@]} -eq 0 ] && builds=(build)
for b in "${builds[@]}"; do
    if [ "$b" = build ] && [ ! -x build/bin/sim/tosmire-ips-sim.exe ]; then tools/build.sh >/dev/null || exit 1; fi
    for exe in tosmire-ips-sim evtlog bench_block bench_decode output_bench bench_idle_waiter; do
        [ -f "$b/bin/sim/$exe.exe" ] || { echo "$b/bin/sim/$exe.exe is missing: build $b first" >&2; exit 1; }
    done
done

declare -A fig
work=$(mktemp -d /tmp/tosmire-bench.XXXXXX)
started_pids=()
cleanup() {
    for p in "${started_pids[@]}"; do kill -KILL "$p" 2>/dev/null; done
    [ -n "${BENCH_KEEP:-}" ] && echo "kept $work" >&2 || rm -rf "$work"
}
trap cleanup EXIT

# "= name value" lines of a benchmark's output into fig[build,name].
take_figures() {
    local b="$1" name value
    while read -r _ name value; do fig["$b,$name"]="$value"; done < <(grep -a '^= ')
}

# The Linux process of a Windows program of this run: its command line names the program and
# its environment carries the simulation folder of this run (other developers run Wine too).
find_wine_pid() {
    local exe="$1" marker="$2" p
    for p in /proc/[0-9]*; do
        tr '\0' ' ' 2>/dev/null < "$p/cmdline" | grep -q "$exe" || continue
        tr '\0' '\n' 2>/dev/null < "$p/environ" | grep -qxF "TOSMIRE_SIM_DIR=$marker" && { echo "${p#/proc/}"; return 0; }
    done
    return 1
}

# "tid cpu_ns switches" for every thread of a process (schedstat: nanoseconds on the CPU).
thread_snapshot() {
    local t
    for t in /proc/"$1"/task/*; do
        [ -r "$t/schedstat" ] || continue
        echo "${t##*/} $(cut -d' ' -f1 "$t/schedstat") $(awk '/ctxt_switches/ {s += $2} END {print s}' "$t/status")"
    done
}

# CPU milliseconds and context switches between two snapshots (threads that ended in between
# are not counted; new threads count whole).
snapshot_delta() {
    awk 'NR == FNR { ns[$1] = $2; sw[$1] = $3; next }
         { cpu += $2 - ns[$1]; ctx += $3 - sw[$1] }
         END { printf "%.3f %d\n", cpu / 1e6, ctx }' "$1" "$2"
}

private_kib() { awk '/^Private_(Clean|Dirty):/ {s += $2} END {print s}' "/proc/$1/smaps_rollup"; }

echo "Machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'); $(wine --version 2>/dev/null); load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "Builds: ${builds[*]}"

for b in "${builds[@]}"; do
    echo "== $b: bench_decode $rounds" >&2
    take_figures "$b" < <("$b/wine-run" "$b/bin/sim/bench_decode.exe" "$rounds" 2>&1 | tr -d "\\000")
done
for b in "${builds[@]}"; do
    echo "== $b: output_bench --no-stream" >&2
    take_figures "$b" < <("$b/wine-run" "$b/bin/sim/output_bench.exe" --no-stream 2>&1 >/dev/null | tr -d "\\000")
done
for b in "${builds[@]}"; do
    echo "== $b: bench_block $blocks $records" >&2
    take_figures "$b" < <("$b/wine-run" "$b/bin/sim/bench_block.exe" "$blocks" "$records" 2>&1)
done

# Idle and memory: every build's monitor and a trivial waiting program with the monitor's
# imports, all waiting at once over the same window, watched from outside Wine.
i=0
declare -A monitor_pid waiter_pid
for b in "${builds[@]}"; do
    i=$((i + 1))
    dir="$work/idle$i"
    mkdir -p "$dir"
    win="Z:${dir//\//\\}"
    echo "== $b: idle monitor and waiting program, $idle_seconds s" >&2
    imports=$(x86_64-w64-mingw32-objdump -p "$b/bin/sim/tosmire-ips-sim.exe" | awk '/DLL Name:/ {print $3}')
    (
        export TOSMIRE_SIM_DIR="$win"
        "$b/wine-run" "$b/bin/sim/evtlog.exe" 4624 --address 192.0.2.1 >/dev/null 2>&1
        "$b/wine-run" "$b/bin/sim/tosmire-ips-sim.exe" >"$dir/monitor.out" 2>&1 </dev/null &
        TOSMIRE_SIM_DIR="$win-waiter" "$b/wine-run" "$b/bin/sim/bench_idle_waiter.exe" $imports >"$dir/waiter.out" 2>&1 </dev/null &
    )
    for _ in $(seq 120); do
        iconv -f UTF-16LE -t UTF-8 "$dir/monitor.out" 2>/dev/null | grep -q "Waiting for new events" && grep -q waiting "$dir/waiter.out" && break
        sleep 0.5
    done
    monitor_pid[$b]=$(find_wine_pid tosmire-ips-sim.exe "$win")
    waiter_pid[$b]=$(find_wine_pid bench_idle_waiter.exe "$win-waiter")
    [ -n "${monitor_pid[$b]}" ] && started_pids+=("${monitor_pid[$b]}")
    [ -n "${waiter_pid[$b]}" ] && started_pids+=("${waiter_pid[$b]}")
    if [ -z "${monitor_pid[$b]}" ] || [ -z "${waiter_pid[$b]}" ]; then
        echo "$b: the monitor or the waiting program did not start" >&2
    fi
done
sleep 5   # start-up work (auditpol, thread-pool threads) settles
for b in "${builds[@]}"; do
    for role in monitor waiter; do
        [ "$role" = monitor ] && p=${monitor_pid[$b]} || p=${waiter_pid[$b]}
        [ -n "$p" ] && thread_snapshot "$p" > "$work/$role-${b//\//_}.start"
    done
done
sleep "$idle_seconds"
for b in "${builds[@]}"; do
    for role in monitor waiter; do
        [ "$role" = monitor ] && p=${monitor_pid[$b]} || p=${waiter_pid[$b]}
        [ -n "$p" ] || continue
        thread_snapshot "$p" > "$work/$role-${b//\//_}.end"
        read -r cpu ctx < <(snapshot_delta "$work/$role-${b//\//_}.start" "$work/$role-${b//\//_}.end")
        fig["$b,idle_${role}_cpu_ms_min"]=$(awk -v c="$cpu" -v s="$idle_seconds" 'BEGIN {printf "%.3f", c * 60 / s}')
        fig["$b,idle_${role}_switches_min"]=$(awk -v c="$ctx" -v s="$idle_seconds" 'BEGIN {printf "%.1f", c * 60 / s}')
        fig["$b,idle_${role}_threads"]=$(wc -l < "$work/$role-${b//\//_}.end")
        fig["$b,private_${role}_kib"]=$(private_kib "$p")
    done
    if [ -n "${fig[$b,private_monitor_kib]:-}" ] && [ -n "${fig[$b,private_waiter_kib]:-}" ]; then
        fig["$b,private_above_waiter_kib"]=$((fig[$b,private_monitor_kib] - fig[$b,private_waiter_kib]))
    fi
done
for p in "${started_pids[@]}"; do kill -TERM "$p" 2>/dev/null; done
sleep 2
wait 2>/dev/null
# The monitors registered their configuration and event source in each prefix; bench_block
# removes the configuration it wrote, and this removes what the idle monitors wrote.
for b in "${builds[@]}"; do
    "$b/wine-run" reg delete 'HKLM\SYSTEM\CurrentControlSet\Services\tosmire.IPS' /f >/dev/null 2>&1
    "$b/wine-run" reg delete 'HKLM\SYSTEM\CurrentControlSet\Services\eventlog\Application\tosmire.IPS' /f >/dev/null 2>&1
done

row() {   # label, figure name, source
    local line b
    line=$(printf '%-58s' "$1")
    for b in "${builds[@]}"; do line+=$(printf ' %14s' "${fig[$b,$2]:-n/a}"); done
    echo "$line   $3"
}
echo
header=$(printf '%-58s' "Figure")
for b in "${builds[@]}"; do header+=$(printf ' %14s' "$(basename "$(dirname "$(realpath "$b")")")"); done
echo "$header   Source"
row "Append to netsh's first instruction, median (ms)" latency_median_ms "bench_block: QPC before the append to QPC at the probe netsh's entry point"
row "  95th percentile (ms)" latency_p95_ms "  ($blocks blocks, threshold 1)"
row "  worst (ms)" latency_worst_ms ""
row "Whole path (records/s)" whole_path_per_s "bench_block: $records records; passive observer reads Application.evt's header"
row "Decode and count, 1 address (ns/record)" decode_count_ns_1 "bench_decode: batch walk in process, median of 5"
row "Decode and count, 64 addresses (ns/record)" decode_count_ns_64 "bench_decode"
row "Decode and count, 256 addresses (ns/record)" decode_count_ns_256 "bench_decode"
row "Decode and count, 1,023 addresses (ns/record)" decode_count_ns_1023 "bench_decode"
row "Decode and count, 1,023 addresses (records/s)" decode_count_per_s_1023 "bench_decode"
row "Decode only (ns/record)" decode_only_ns "bench_decode"
row "Lookup of the last of 1,023 addresses (ns)" lookup_last_ns_1023 "bench_decode: record_failure alone"
row "Coloured line into the log file (us)" coloured_line_us "output_bench: set_console_color, print_out, restore_console_color"
row "Plain line into the log file (us)" print_line_us "output_bench: print_out"
row "Idle monitor: CPU (ms per minute)" idle_monitor_cpu_ms_min "/proc/<pid>/task/*/schedstat over $idle_seconds s, scaled to 60 s"
row "Idle monitor: context switches (per minute)" idle_monitor_switches_min "/proc/<pid>/task/*/status, same window"
row "Idle monitor: threads" idle_monitor_threads "/proc/<pid>/task"
row "Waiting program: CPU (ms per minute)" idle_waiter_cpu_ms_min "the same, for a program that only waits (same DLLs loaded)"
row "Waiting program: context switches (per minute)" idle_waiter_switches_min ""
row "Private memory, monitor (KiB)" private_monitor_kib "/proc/<pid>/smaps_rollup Private_Clean + Private_Dirty"
row "Private memory, waiting program (KiB)" private_waiter_kib ""
row "Private memory above the waiting program (KiB)" private_above_waiter_kib "difference of the two"
exit 0

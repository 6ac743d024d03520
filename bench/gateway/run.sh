#!/usr/bin/env bash
# tqrf-gateway under load: one gateway with 16 paced simulated readers (mf1k timing) and a
# mosquitto of its own on a free local port; cards placed in the readers' fields and taken out
# again on a schedule (a steady load, then a rush); a subscriber (mosquitto_sub) stamps each
# event as it takes it. Prints the time from a card's arrival in the field to its receipt
# (median, p90, p99), the gateway's CPU time per event (/proc/PID/stat) and the events per
# second, as Markdown tables. About 90 seconds after the build. Not a test: nothing is asserted.
#
#   bench/gateway/run.sh [--readers N] [--interval MS] [--idle S] [--phase S]
#
# TQRF_BENCH_BUILD=DIR: a build folder configured before (its settings kept) instead of
# build/bench, which is configured here as a Release build (as bench/run.sh does).
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD=${TQRF_BENCH_BUILD:-build/bench}

case "${1:-}" in -h|--help) sed -n '2,13p' "$0"; exit 0 ;; esac

scripts/install-deps.sh libpaho-mqtt-dev libtomlplusplus-dev nlohmann-json3-dev mosquitto \
    mosquitto-clients
if [ -z "${TQRF_BENCH_BUILD:-}" ]; then
    cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DTQRF_BUILD_BENCH=ON >/dev/null
fi
cmake --build "$BUILD" -j2 --target tqrf_gateway_bench tqrf-gateway >/dev/null

# shellcheck source=scripts/lib/broker.sh
source scripts/lib/broker.sh
tqrf_scratch tqrf-gateway-bench
tqrf_broker

# The subscriber: each event with the Unix time (ns) at which it was taken.
: >"$work/received"
mosquitto_sub -p "$port" -q 1 -t 'tqrf/+/+/event' -F '%U %p' >"$work/received" &
pids+=($!)
sleep 0.5

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
broker_cpu0=$(awk '{print $14 + $15}' "/proc/$broker/stat")
"$BUILD/bench/gateway/tqrf_gateway_bench" --gateway "$BUILD/gateway/tqrf-gateway" \
    --broker-port "$port" --received "$work/received" --work "$work" "$@" >"$work/tables.md"
broker_cpu=$(( $(awk '{print $14 + $15}' "/proc/$broker/stat") - broker_cpu0 ))
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

echo "Measured $(date -u +'%Y-%m-%d %H:%M UTC') on $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1) ($(nproc) cores),"
echo "commit $(git rev-parse --short HEAD 2>/dev/null || echo unknown), $(sed -n "s/^CMAKE_BUILD_TYPE:STRING=//p" "$BUILD/CMakeCache.txt") build; load average before $load_before, after $load_after."
echo "mosquitto $(mosquitto -h 2>/dev/null | sed -n 's/^mosquitto version //p' | head -n 1): $(awk -v t="$broker_cpu" -v hz="$(getconf CLK_TCK)" 'BEGIN { printf "%.2f", t / hz }') s of CPU over the run."
echo
cat "$work/tables.md"

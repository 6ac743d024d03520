#!/usr/bin/env bash
# What a single mosquitto takes on this machine: a mosquitto of its own on a free local port,
# one mosquitto_pub sending N messages of 250 bytes (about an event's size) at QoS 1 as fast as
# it can, one mosquitto_sub taking them at QoS 1. Prints the messages per second (in, and as
# many out) and the broker's CPU time per message (/proc/PID/stat). Not a test.
#
#   bench/gateway/broker.sh [N]        (default 50000)
set -euo pipefail
# shellcheck source=scripts/lib/broker.sh
source "$(dirname "$0")/../../scripts/lib/broker.sh"
n=${1:-50000}
tqrf_scratch tqrf-broker-bench
# max_queued_messages 0: no limit on the subscriber's queue, so nothing is dropped on the way.
tqrf_broker "max_queued_messages 0"

awk -v n="$n" 'BEGIN { p = sprintf("%250s", ""); gsub(/ /, "x", p); for (i = 0; i < n; i++) print p }' \
    >"$work/lines"
mosquitto_sub -p "$port" -q 1 -t load -C "$n" >"$work/received" &
sub=$!
pids+=("$sub")
sleep 0.5
cpu0=$(awk '{print $14 + $15}' "/proc/$broker/stat")
t0=$(date +%s.%N)
mosquitto_pub -p "$port" -q 1 -t load -l <"$work/lines"
while [ "$(wc -l <"$work/received")" -lt "$n" ] && kill -0 "$sub" 2>/dev/null; do sleep 0.02; done
t1=$(date +%s.%N)
cpu1=$(awk '{print $14 + $15}' "/proc/$broker/stat")
got=$(wc -l <"$work/received")
awk -v n="$got" -v t0="$t0" -v t1="$t1" -v ticks="$((cpu1 - cpu0))" -v hz="$(getconf CLK_TCK)" \
    -v load="$(cut -d' ' -f1-3 /proc/loadavg)" 'BEGIN {
    t = t1 - t0
    printf "%d messages of 250 bytes at QoS 1, one publisher, one subscriber: %.2f s, %.0f messages/s in (and as many out)\n", n, t, n / t
    printf "mosquitto CPU: %.2f s, %.1f us a message in and out (load average after: %s)\n", ticks / hz, ticks / hz / n * 1e6, load
}'

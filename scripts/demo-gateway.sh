#!/usr/bin/env bash
# tqrf-gateway end to end on this machine (Linux): starts its own mosquitto on a free local
# port, a simulated reader with a card in its field, and the gateway; prints what a subscriber
# sees; then takes the reader away and brings it back with another card, and asks the reader
# for its identity over MQTT 5. Installs the packages it needs.
set -euo pipefail
cd "$(dirname "$0")/.."

# TQRF_DEMO_BUILD=DIR: use the programs of a build folder made before instead.
build=${TQRF_DEMO_BUILD:-}
if [ -z "$build" ]; then
    scripts/install-deps.sh libpaho-mqtt-dev libtomlplusplus-dev libssl-dev mosquitto \
        mosquitto-clients python3
    build=build/demo
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTQRF_BUILD_TESTS=OFF >/dev/null
    cmake --build "$build" -j"$(nproc)" --target tqrf-gateway tqrf-sim >/dev/null
fi

# shellcheck source=scripts/lib/broker.sh
source scripts/lib/broker.sh
tqrf_scratch tqrf-gateway-demo
tqrf_broker

mosquitto_sub -p "$port" -v -t 'tqrf/#' &
pids+=($!)
"$build/sim/tqrf-sim" --link "$work/reader" --uid 3A7C91E5 >/dev/null &
sim=$!
sleep 0.5
"$build/gateway/tqrf-gateway" --broker "mqtt://127.0.0.1:$port" --name demo \
    --port "$work/reader" --state "$work/state" 2>"$work/gateway.log" &
pids+=($!)
sleep 2
name=$(readlink "$work/reader" | sed 's,^/dev/,,; s,/,-,g')

echo "--- the reader is unplugged"
kill "$sim"
sleep 2
echo "--- and plugged in again, with another card in its field"
"$build/sim/tqrf-sim" --link "$work/reader" --uid 11223344 >/dev/null &
pids+=($!)
sleep 2.5
echo "--- a request over MQTT 5"
mosquitto_rr -p "$port" -V 5 -t "tqrf/demo/$name/cmd" -e demo/replies -m '{"cmd":"info"}' -W 5
sleep 0.5

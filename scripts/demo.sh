#!/usr/bin/env bash
# Builds the library and the tqrf command-line tool, then runs a short session against the
# built-in simulated reader: scan the card, show the reader, read a block, dump the card.
# Installs the packages it needs.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=Release -DTQRF_BUILD_TESTS=OFF >/dev/null
cmake --build build/demo -j"$(nproc)" --target tqrf >/dev/null

tqrf=build/demo/tools/tqrf
run() {
    printf '\n$ tqrf --simulate %s\n' "$*"
    "$tqrf" --simulate "$@"
}
run scan
run info
run read 1
run dump

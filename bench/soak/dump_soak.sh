#!/usr/bin/env bash
# Dumps in a row through the tool, on a simulated reader that loses and garbles replies at
# random: every `tqrf dump -o X.json` must exit 0 and hold exactly the simulator's card. The
# faults are tqrf-sim's `--fault noreply%2 --fault corrupt-xor%1 --seed 7` (the same seed, the
# same faults for the same requests); the tool's library repeats each lost exchange
# (--retries, 3 attempts by default).
#
#   bench/soak/dump_soak.sh [N]     N dumps (default 100, about 2 minutes; 10 take ~15 s)
#
# Environment:
#   TQRF_BIN    folder of the tqrf tool (default BUILD/tools)
#   TQRF_SIM    the tqrf-sim program (default BUILD/sim/tqrf-sim)
#   BUILD       a build folder that has both (default build/ci-werror, else build)
#   SOAK_SEED   the faults' seed (default 7)
#   SOAK_FAULTS the fault rules (default "noreply%2 corrupt-xor%1")
#   SOAK_RETRIES the tool's --retries (default: the tool's own, 3)
# Exits 1 on the first dump that fails or differs, with the tool's output and the difference.
set -euo pipefail
cd "$(dirname "$0")/../.."
N=${1:-100}
case "$N" in '' | *[!0-9]*) echo "dump_soak.sh: N must be a number" >&2; exit 2 ;; esac
if [ -z "${BUILD:-}" ]; then
    BUILD=build
    [ -x build/ci-werror/tools/tqrf ] && BUILD=build/ci-werror
fi
TQRF=${TQRF_BIN:-$BUILD/tools}/tqrf
SIM=${TQRF_SIM:-$BUILD/sim/tqrf-sim}
SEED=${SOAK_SEED:-7}
FAULTS=${SOAK_FAULTS:-noreply%2 corrupt-xor%1}
for exe in "$TQRF" "$SIM"; do
    [ -x "$exe" ] || { echo "dump_soak.sh: $exe not found (build it, or set BUILD)" >&2; exit 2; }
done

dir=$(mktemp -d)
sim_pid=""
cleanup() {
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    rm -rf "$dir"
}
trap cleanup EXIT

# The card: the factory key in every sector (so that every block is read), and in each data
# block bytes of its own (block number, then a pattern), the UID 50AC0007.
{
    printf '\120\254\000\007\373\010\004\000\142\143\144\145\146\147\150\151'
    for b in $(seq 1 63); do
        if [ $((b % 4)) -eq 3 ]; then
            printf '\377\377\377\377\377\377\377\007\200\151\377\377\377\377\377\377'
        else
            for i in $(seq 0 15); do printf "\\$(printf '%03o' $(((b * 37 + i * 11) % 256)))"; done
        fi
    done
} >"$dir/card.mfd"
[ "$(wc -c <"$dir/card.mfd")" -eq 1024 ] || { echo "dump_soak.sh: card image is not 1024 bytes" >&2; exit 1; }

fault_args=()
for f in $FAULTS; do fault_args+=(--fault "$f"); done
"$SIM" --card "$dir/card.mfd" "${fault_args[@]}" --seed "$SEED" >"$dir/sim.out" 2>"$dir/sim.err" &
sim_pid=$!
for _ in $(seq 600); do
    [ -s "$dir/sim.out" ] && break
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.05
done
port=$(head -n 1 "$dir/sim.out")
[ -c "$port" ] || { echo "dump_soak.sh: tqrf-sim did not start: $(cat "$dir/sim.err")" >&2; exit 1; }

retries=()
[ -n "${SOAK_RETRIES:-}" ] && retries=(--retries "$SOAK_RETRIES")
start=$(date +%s.%N)
for i in $(seq 1 "$N"); do
    rm -f "$dir/dump.json"
    status=0
    "$TQRF" --port "$port" "${retries[@]}" dump -o "$dir/dump.json" >"$dir/out" 2>"$dir/err" ||
        status=$?
    if [ "$status" -ne 0 ]; then
        echo "dump_soak.sh: dump $i of $N: exit status $status" >&2
        cat "$dir/err" >&2
        exit 1
    fi
    # The dump against the card the simulator serves: the same blocks, every one known.
    if ! "$TQRF" image diff "$dir/dump.json" "$dir/card.mfd" >"$dir/diff" 2>&1; then
        echo "dump_soak.sh: dump $i of $N differs from the card:" >&2
        cat "$dir/diff" >&2
        exit 1
    fi
    grep -q '"complete": true' "$dir/dump.json" ||
        { echo "dump_soak.sh: dump $i of $N is not complete" >&2; exit 1; }
done
end=$(date +%s.%N)
awk -v n="$N" -v s="$start" -v e="$end" -v seed="$SEED" -v f="$FAULTS" 'BEGIN {
    printf "dump_soak.sh: %d dumps equal to the card (faults %s, seed %s) in %.1f s, %.2f s a dump\n", n, f, seed, e - s, (e - s) / n
}'

#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (own build directory) and runs each one for a bounded
# time over its seed corpus. A finding fails the run; its input is kept under
# fuzz/regressions/<target>/, where the normal test build replays it from then on.
#
# Environment:
#   FUZZ_SECONDS    seconds per target (default 50)
#   FUZZ_SECONDS_<target>  seconds for that target (default FUZZ_SECONDS; gateway_request: 30
#                   or FUZZ_SECONDS when that is less)
#   FUZZ_TARGETS    targets to run (default: commands hex mode_string sim_request image
#                   gateway_request, the last when the gateway is built: its packages are there)
#   FUZZ_BUILD_DIR  build directory (default build/ci-fuzz)
#   FUZZ_JOBS       parallel build jobs (default 2)
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=${FUZZ_BUILD_DIR:-build/ci-fuzz}
SECONDS_EACH=${FUZZ_SECONDS:-50}
JOBS=${FUZZ_JOBS:-2}

set -e
cmake -S . -B "$BUILD" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTQRF_WERROR=ON -DTQRF_BUILD_FUZZ=ON \
    -DTQRF_BUILD_TESTS=OFF -DTQRF_BUILD_TOOLS=OFF >/dev/null
if [ -z "${FUZZ_TARGETS:-}" ]; then
    TARGETS="commands hex mode_string sim_request image"
    # The list first, then the search: grep -q ending early would fail the pipe (pipefail).
    build_targets_list=$(cmake --build "$BUILD" --target help)
    if grep -q 'fuzz_gateway_request' <<<"$build_targets_list"; then
        TARGETS="$TARGETS gateway_request"
    else
        echo "fuzz: no tqrf-gateway in this build (see the configure notices): gateway_request left out"
    fi
else
    TARGETS=$FUZZ_TARGETS
fi

# The seconds for target $1.
seconds_for() {
    local own="FUZZ_SECONDS_$1"
    if [ -n "${!own:-}" ]; then
        echo "${!own}"
    elif [ "$1" = gateway_request ] && [ "$SECONDS_EACH" -gt 30 ]; then
        echo 30
    else
        echo "$SECONDS_EACH"
    fi
}
build_targets=()
for t in $TARGETS; do build_targets+=("fuzz_$t"); done
cmake --build "$BUILD" -j"$JOBS" --target "${build_targets[@]}"
set +e

failed=()
for t in $TARGETS; do
    exe="$BUILD/fuzz/fuzz_$t"
    work="$BUILD/fuzz-work/$t"        # inputs libFuzzer finds go here, not into the repo
    artifacts="$BUILD/fuzz-artifacts/$t"
    rm -rf "$artifacts"
    mkdir -p "$work" "$artifacts" "fuzz/regressions/$t"
    secs=$(seconds_for "$t")
    printf '\n==== fuzz %s: %s s ====\n' "$t" "$secs"
    # Past findings first: each must pass before new inputs are looked for.
    if compgen -G "fuzz/regressions/$t/*" >/dev/null; then
        if ! "$exe" -runs=0 "fuzz/regressions/$t" 2>&1 | tail -n 3; then
            failed+=("$t (regression)")
            continue
        fi
    fi
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
        "$exe" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$artifacts/" "$work" "fuzz/corpus/$t" \
        >"$BUILD/fuzz-$t.log" 2>&1
    rc=$?
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|Done)' "$BUILD/fuzz-$t.log"
    if [ $rc -ne 0 ]; then
        tail -n 40 "$BUILD/fuzz-$t.log"
        kept=0
        for f in "$artifacts"/*; do
            [ -f "$f" ] || continue
            cp "$f" "fuzz/regressions/$t/"
            echo "kept fuzz/regressions/$t/$(basename "$f")"
            kept=1
        done
        [ $kept -eq 1 ] || echo "no input was kept: see $ROOT/$BUILD/fuzz-$t.log"
        failed+=("$t")
    fi
done

if [ ${#failed[@]} -ne 0 ]; then
    printf '\nfuzzing found problems in: %s\n' "${failed[*]}"
    exit 1
fi
printf '\nfuzzing: no findings\n'

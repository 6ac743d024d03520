#!/usr/bin/env bash
# Builds the soak program and runs it. Not part of CI: a run of 10,000 commands takes about
# seven minutes, since every command waits its real 40 ms.
#
#   bench/soak/soak.sh [soak options]        e.g. --commands 10000 --fault-rate 0.05 --seed 7
#
# Environment:
#   SOAK_CHECK=lsan      (default) AddressSanitizer + LeakSanitizer build; leaks fail the run
#   SOAK_CHECK=valgrind  plain build, run under valgrind memcheck; any error fails the run
#   SOAK_CHECK=none      plain build
#   SOAK_BUILD_DIR       build directory (default build/soak-<check>)
#   SOAK_JOBS            parallel build jobs (default 2)
set -euo pipefail
cd "$(dirname "$0")/../.."
CHECK=${SOAK_CHECK:-lsan}
BUILD=${SOAK_BUILD_DIR:-build/soak-$CHECK}
JOBS=${SOAK_JOBS:-2}

case "$CHECK" in
    lsan) sanitize=ON ;;
    valgrind | none) sanitize=OFF ;;
    *) echo "SOAK_CHECK must be lsan, valgrind or none" >&2; exit 2 ;;
esac

cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTQRF_SANITIZE=$sanitize \
    -DTQRF_BUILD_BENCH=ON -DTQRF_BUILD_TESTS=OFF -DTQRF_BUILD_TOOLS=ON >/dev/null
cmake --build "$BUILD" -j"$JOBS" --target tqrf_soak
exe="$BUILD/bench/soak/tqrf_soak"

case "$CHECK" in
    lsan)
        ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
            "$exe" "$@"
        ;;
    valgrind)
        valgrind --error-exitcode=3 --leak-check=full --show-leak-kinds=definite,indirect \
            --errors-for-leak-kinds=definite,indirect "$exe" "$@"
        ;;
    none)
        "$exe" "$@"
        ;;
esac

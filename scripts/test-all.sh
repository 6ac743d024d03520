#!/usr/bin/env bash
# Builds the library and runs every test: a warnings-as-errors build, an AddressSanitizer +
# UndefinedBehaviorSanitizer build, and the Windows cross-builds. Installs what it needs.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
JOBS=$(nproc)

step() { printf '\n==== %s ====\n' "$*"; }

step "installing packages"
scripts/install-deps.sh g++-mingw-w64-i686 g++-mingw-w64-x86-64 clang libclang-rt-14-dev clang-format
mkdir -p build
# Wine is large: install it in the background while the native builds run.
tools/windows/install-wine.sh >build/install-wine.log 2>&1 &
WINE_INSTALL=$!

step "formatting (clang-format)"
git ls-files '*.c' '*.cpp' '*.h' '*.hpp' | xargs clang-format --dry-run --Werror

step "build with warnings as errors, all tests"
cmake -S . -B build/ci-werror -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTQRF_WERROR=ON >/dev/null
cmake --build build/ci-werror -j"$JOBS"
ctest --test-dir build/ci-werror --output-on-failure -j"$JOBS"

step "build with AddressSanitizer and UndefinedBehaviorSanitizer, all tests"
cmake -S . -B build/ci-sanitize -DCMAKE_BUILD_TYPE=Debug -DTQRF_WERROR=ON -DTQRF_SANITIZE=ON >/dev/null
cmake --build build/ci-sanitize -j"$JOBS"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build/ci-sanitize --output-on-failure -j"$JOBS"

step "fuzzing every reply path, the codecs and the simulator's parser (bounded time per target)"
FUZZ_SECONDS=${FUZZ_SECONDS:-60} fuzz/run.sh

step "Windows cross-builds (mingw-w64, i686 and x86_64)"
for arch in i686 x86_64; do
    cmake -S . -B "build/ci-mingw-$arch" -DCMAKE_BUILD_TYPE=Release -DTQRF_WERROR=ON \
        -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-mingw-$arch.cmake" >/dev/null
    cmake --build "build/ci-mingw-$arch" -j"$JOBS"
done

step "Windows DLL exports and imports"
tools/windows/selftest.sh
tools/windows/check-exports.sh build/ci-mingw-i686/tq_RWD_DLL.dll build/ci-mingw-x86_64/tq_RWD_DLL.dll

step "Windows DLLs under Wine against the simulated reader (i686 and x86_64): legacy exports in both reply modes, two readers from two threads"
if ! wait "$WINE_INSTALL"; then
    cat build/install-wine.log
    echo "installing Wine failed" >&2
    exit 1
fi
TQRF_BUILD_MINGW32=build/ci-mingw-i686 TQRF_BUILD_MINGW64=build/ci-mingw-x86_64 \
    TQRF_SIM=build/ci-werror/sim/tqrf-sim TQRF_WINE_LOGS=build/wine-e2e tools/windows/wine-e2e.sh

step "all tests passed"

#!/usr/bin/env bash
# Builds the library and runs every test: a warnings-as-errors build, an AddressSanitizer +
# UndefinedBehaviorSanitizer build, and the Windows cross-builds. Installs what it needs.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
JOBS=$(nproc)

step() { printf '\n==== %s ====\n' "$*"; }

step "installing packages"
scripts/install-deps.sh g++-mingw-w64-i686 g++-mingw-w64-x86-64 clang libclang-rt-14-dev

step "build with warnings as errors, all tests"
cmake -S . -B build/ci-werror -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTQRF_WERROR=ON >/dev/null
cmake --build build/ci-werror -j"$JOBS"
ctest --test-dir build/ci-werror --output-on-failure -j"$JOBS"

step "build with AddressSanitizer and UndefinedBehaviorSanitizer, all tests"
cmake -S . -B build/ci-sanitize -DCMAKE_BUILD_TYPE=Debug -DTQRF_WERROR=ON -DTQRF_SANITIZE=ON >/dev/null
cmake --build build/ci-sanitize -j"$JOBS"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build/ci-sanitize --output-on-failure -j"$JOBS"

step "Windows cross-builds (mingw-w64, i686 and x86_64)"
for arch in i686 x86_64; do
    cmake -S . -B "build/ci-mingw-$arch" -DCMAKE_BUILD_TYPE=Release -DTQRF_WERROR=ON \
        -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-mingw-$arch.cmake" >/dev/null
    cmake --build "build/ci-mingw-$arch" -j"$JOBS"
done

step "all tests passed"

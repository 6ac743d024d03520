#!/usr/bin/env bash
# A configure that cannot build a part says so, in one line with the reason and the Debian
# package that brings it, and the cache records what is built and what was left out. Hides
# CLI11, GoogleTest and Python from a fresh configure (no build) and asks for fuzzing with
# GCC.
#
#   tests/package/parts-test.sh SOURCE_DIR WORK_DIR
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: $0 SOURCE_DIR WORK_DIR" >&2; exit 2; }
SRC=$1
WORK=$2
rm -rf "$WORK"
mkdir -p "$WORK"
cmake -S "$SRC" -B "$WORK/build" -DCMAKE_CXX_COMPILER=g++ -DCMAKE_C_COMPILER=gcc \
    -DCMAKE_DISABLE_FIND_PACKAGE_CLI11=ON -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON \
    -DCMAKE_DISABLE_FIND_PACKAGE_Python3=ON -DTQRF_BUILD_FUZZ=ON >"$WORK/out" 2>&1 ||
    { cat "$WORK/out"; echo "FAIL  the configure failed: a missing part must never fail it"; exit 1; }
failed=0
# part: what its one line must say
expect=(
    "TQRF_BUILD_TOOLS:(Debian: libcli11-dev)"
    "TQRF_BUILD_TESTS:(Debian: libgtest-dev)"
    "TQRF_BUILD_FUZZ:(Debian: clang;"
    "TQRF_BUILD_WHEEL:(Debian: python3)"
)
for e in "${expect[@]}"; do
    part=${e%%:*}
    why=${e#*:}
    lines=$(grep -c "^tq_RWD_DLL: .*: $part is off for this build$" "$WORK/out" || true)
    if [ "$lines" -eq 1 ] && grep "$part is off" "$WORK/out" | grep -qF "$why"; then
        echo "ok    $(grep "$part is off" "$WORK/out")"
    else
        echo "FAIL  $part: want one line naming '$why', got $lines"
        failed=$((failed + 1))
    fi
done
built=$(sed -n 's/^TQRF_PARTS_BUILT:STRING=//p' "$WORK/build/CMakeCache.txt")
left=$(sed -n 's/^TQRF_PARTS_LEFT_OUT:STRING=//p' "$WORK/build/CMakeCache.txt")
case ";$built;" in
*";tools;"* | *";tests;"* | *";fuzz;"* | *";wheel;"* | ";;")
    echo "FAIL  TQRF_PARTS_BUILT=$built"
    failed=$((failed + 1))
    ;;
*) echo "ok    TQRF_PARTS_BUILT=$built" ;;
esac
for part in TOOLS TESTS FUZZ WHEEL; do
    case "$left" in
    *"TQRF_BUILD_$part: "*) ;;
    *)
        echo "FAIL  TQRF_PARTS_LEFT_OUT lacks TQRF_BUILD_$part: $left"
        failed=$((failed + 1))
        ;;
    esac
done
rm -rf "$WORK"
[ "$failed" -eq 0 ] && echo "parts test: passed"

#!/usr/bin/env bash
# A configure that cannot build a part says so, in one line with the reason and the Debian
# package that brings it, and the cache records what is built and what was left out. Hides
# CLI11, GoogleTest and Python from a fresh configure (no build) and asks for fuzzing with
# GCC; then hides nlohmann-json, which the card image library needs (and with it tqrf-sim and
# the tool): one line names it.
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

cmake -S "$SRC" -B "$WORK/nojson" -DCMAKE_CXX_COMPILER=g++ -DCMAKE_C_COMPILER=gcc \
    -DCMAKE_DISABLE_FIND_PACKAGE_nlohmann_json=ON -DTQRF_BUILD_TESTS=OFF \
    -DTQRF_BUILD_BINDINGS=OFF >"$WORK/nojson.out" 2>&1 ||
    { cat "$WORK/nojson.out"; echo "FAIL  the configure without nlohmann-json failed"; exit 1; }
lines=$(grep -c "nlohmann-json3-dev.*TQRF_BUILD_IMAGE is off" "$WORK/nojson.out" || true)
if [ "$lines" -eq 1 ] &&
    grep -q "^tq_RWD_DLL: .*(Debian: nlohmann-json3-dev).*: TQRF_BUILD_IMAGE is off for this build$" \
        "$WORK/nojson.out"; then
    echo "ok    $(grep "TQRF_BUILD_IMAGE is off" "$WORK/nojson.out")"
else
    echo "FAIL  want one line naming nlohmann-json3-dev for TQRF_BUILD_IMAGE, got $lines:"
    grep -i nlohmann "$WORK/nojson.out" || true
    failed=$((failed + 1))
fi
built=$(sed -n 's/^TQRF_PARTS_BUILT:STRING=//p' "$WORK/nojson/CMakeCache.txt")
case ";$built;" in
*";image;"* | *";tools;"*)
    echo "FAIL  without nlohmann-json TQRF_PARTS_BUILT=$built"
    failed=$((failed + 1))
    ;;
*) echo "ok    without nlohmann-json TQRF_PARTS_BUILT=$built" ;;
esac
rm -rf "$WORK"
[ "$failed" -eq 0 ] && echo "parts test: passed"

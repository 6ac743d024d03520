#!/usr/bin/env bash
# Builds a library user's small C and C++ programs against an installed tq_RWD_DLL, once with
# find_package (CMake) and once with pkg-config, and runs them against the installed tqrf-sim;
# then builds and runs a program that uses the simulator library (tq_RWD_DLL::sim), checks
# that the installed programs find the installed library by themselves, and converts a
# Proxmark3 dump to a Flipper .nfc file with the card image library (tq_RWD_DLL::image) by the
# example of docs/api.md.
#
#   tests/package/consumer-test.sh PREFIX       # e.g. a cmake --install --prefix, or /usr
#
# Needs cmake, a C and C++ compiler and pkg-config. Exit status 0 only when all passed.
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
[ $# -eq 1 ] || { echo "usage: $0 PREFIX" >&2; exit 2; }
PREFIX=$(realpath "$1")
# shellcheck source=tests/package/common.sh
. "$HERE/common.sh"

passed=0
failed=0
check() {
    local what=$1
    shift
    if "$@" >"$work/out" 2>&1; then
        passed=$((passed + 1))
        echo "ok    $what: $(tail -n 1 "$work/out")"
    else
        failed=$((failed + 1))
        echo "FAIL  $what"
        sed 's/^/      /' "$work/out"
    fi
}

# The programs take each reply as soon as it is complete, with a slack for a busy machine
# (TQRF_REPLY, read by the legacy open), so that a simulated reader that is slow to be
# scheduled changes no result.
reply_mode=(TQRF_REPLY=complete:1000)

echo "consumer test against $PREFIX (tq_RWD_DLL $VERSION)"

# ---- build: find_package ------------------------------------------------------------------
# The card image example is the block of docs/api.md after its marker line.
awk '/<!-- tests\/package\/consumer-test.sh builds the next block -->/ { on = 1; next }
     on && /^```cpp/ { copy = 1; next }
     copy && /^```/ { exit }
     copy { print }' "$HERE/../../docs/api.md" >"$work/image_app.cpp"
check "find_package: configure" cmake -S "$HERE" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$PREFIX" \
    -DTQRF_EXPECTED_VERSION="$VERSION" -DCMAKE_BUILD_TYPE=Release \
    -DTQRF_IMAGE_EXAMPLE="$work/image_app.cpp" -DCMAKE_DISABLE_FIND_PACKAGE_nlohmann_json=ON
check "find_package: build" cmake --build "$work/cmake"

# ---- build: pkg-config --------------------------------------------------------------------
pcdir=$(dirname "$(find "$PREFIX/lib" "$PREFIX/share" -name tq_RWD_DLL.pc -print -quit 2>/dev/null)")
export PKG_CONFIG_PATH="$pcdir"
check "pkg-config: version" sh -c "test \"\$(pkg-config --modversion tq_RWD_DLL)\" = $VERSION && echo $VERSION"
libdir=$(pkg-config --variable=libdir tq_RWD_DLL)
mkdir -p "$work/pc"
# A library outside the system's directories is found at run time through the program's RUNPATH.
# shellcheck disable=SC2046
check "pkg-config: build C" cc -std=c99 -Wall -Werror -o "$work/pc/app_c" "$HERE/app.c" \
    $(pkg-config --cflags --libs tq_RWD_DLL) -Wl,-rpath,"$libdir"
# shellcheck disable=SC2046
check "pkg-config: build C++" c++ -std=c++17 -Wall -Werror -o "$work/pc/app_cpp" "$HERE/app.cpp" \
    $(pkg-config --cflags --libs tq_RWD_DLL) -Wl,-rpath,"$libdir"

# ---- run against the installed simulator ----------------------------------------------------
"$PREFIX/bin/tqrf-sim" >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
device=$(first_line "$work/sim.out" 300)
check "tqrf-sim started" test -c "$device"
for app in cmake/app_c cmake/app_cpp pc/app_c pc/app_cpp; do
    check "run $app" env -u LD_LIBRARY_PATH "${reply_mode[@]}" "$work/$app" "$device"
done
finds_library() {
    local found
    found=$(env -u LD_LIBRARY_PATH ldd "$1" | awk '$1 == "libtq_RWD_DLL.so.1" { print $3 }')
    echo "$found"
    [ -n "$found" ] && [ "$(realpath "$found")" = "$(realpath "$libdir/libtq_RWD_DLL.so.1")" ]
}
check "installed tqrf finds the installed library" finds_library "$PREFIX/bin/tqrf"
check "run installed tqrf" env -u LD_LIBRARY_PATH "${reply_mode[@]}" "$PREFIX/bin/tqrf" --port "$device" info
kill "$sim_pid"
wait "$sim_pid" 2>/dev/null || true
sim_pid=""

check "run cmake/sim_app (tq_RWD_DLL::sim)" env -u LD_LIBRARY_PATH "${reply_mode[@]}" "$work/cmake/sim_app"

# ---- the card image library: a Proxmark3 dump in, a Flipper .nfc file out ------------------
pm3_to_nfc() {
    "$work/cmake/image_app" "$HERE/../cli/images/card-pm3.json" "$work/card.nfc" || return 1
    local nfc="$work/card.nfc"
    grep -qx 'Filetype: Flipper NFC device' "$nfc" &&
        grep -qx 'Device type: Mifare Classic' "$nfc" &&
        grep -qx 'UID: 9C 15 A3 E7' "$nfc" &&
        grep -qx 'Mifare Classic type: 1K' "$nfc" &&
        [ "$(grep -c '^Block [0-9]*: ' "$nfc")" -eq 64 ] &&
        grep -qx 'Block 8: D2 04 00 00 2D FB FF FF D2 04 00 00 08 F7 08 F7' "$nfc" &&
        grep -qx 'Block 3: A0 A1 A2 A3 A4 A5 78 77 88 C1 B0 B1 B2 B3 B4 B5' "$nfc" &&
        ! grep -q '^Block .*??' "$nfc" || { cat "$nfc"; return 1; }
    # Written as a new file holding keys: readable by its owner only.
    [ "$(stat -c %a "$nfc")" = 600 ] || { echo "card.nfc is mode $(stat -c %a "$nfc")"; return 1; }
    echo "card.nfc: UID 9C 15 A3 E7, 64 blocks"
}
check "image: Proxmark3 JSON to .nfc (tq_RWD_DLL::image)" pm3_to_nfc

echo "consumer test: $passed passed, $failed failed"
[ "$failed" -eq 0 ]

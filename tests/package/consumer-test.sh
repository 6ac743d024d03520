#!/usr/bin/env bash
# Builds a library user's small C and C++ programs against an installed tq_RWD_DLL, once with
# find_package (CMake) and once with pkg-config, and runs them against the installed tqrf-sim;
# then builds and runs a program that uses the simulator library (tq_RWD_DLL::sim), and checks
# that the installed programs find the installed library by themselves.
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
check "find_package: configure" cmake -S "$HERE" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$PREFIX" \
    -DTQRF_EXPECTED_VERSION="$VERSION" -DCMAKE_BUILD_TYPE=Release
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
for _ in $(seq 300); do
    [ -s "$work/sim.out" ] && break
    sleep 0.1
done
device=$(head -n 1 "$work/sim.out")
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

echo "consumer test: $passed passed, $failed failed"
[ "$failed" -eq 0 ]

# shellcheck shell=bash
# The opening the Wine test scripts of this folder share, sourced by wine-e2e.sh,
# wine-conformance.sh, wine-tool.sh and cxx-example.sh after `set -euo pipefail`:
#
#   WINE_SCRIPT=wine-e2e
#   . "$(dirname "${BASH_SOURCE[0]}")/wine-common.sh"
#
# It sets HERE (this folder), ROOT (the source tree), PACKAGING (packaging/windows), PREFIX,
# BUILD32 and BUILD64, and defines:
#   say, banner, die           messages naming $WINE_SCRIPT; die fails with a banner
#   build_dir ARCH             the build folder of i686 or x86_64
#   select_wine_archs ARCH...  RUN_ARCHS: those of ARCH... whose programs Wine can run here
#                              (32-bit programs need wine32:i386); says which it leaves out,
#                              fails when none is left or there is no wine command
#   find_sim                   SIM: the simulator of $TQRF_SIM, or one built natively
#   open_wine_prefix LOGS      the cached prefix: its lock, Wine's environment, wineboot the
#                              first time, a wineserver, a first program run
#   start_sim NAME COM ARG...  a simulator (ARG... its options) mapped to COM<COM> of the prefix
#   stop_sims                  ends the simulators and removes their COM names
#   windows_path PATH          PATH as Wine names it (Z:\...)
#
# Environment (all optional):
#   TQRF_BUILD_MINGW32  i686 build directory (default build-mingw32)
#   TQRF_BUILD_MINGW64  x86_64 build directory (default build-mingw64)
#   TQRF_WINEPREFIX     cached Wine prefix (default ~/.cache/tqrf-wine-64; one 64-bit prefix
#                       runs both the 32-bit and the 64-bit programs; one run at a time holds its
#                       lock, as the COM names and the wineserver are shared)
#   TQRF_SIM            path of a built tqrf-sim (default: build it in build-win-native)
#   TQRF_BUILD_NATIVE   native build directory for the simulator (default build-win-native)
#   TQRF_JOBS           parallel build jobs (default 2)

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
# shellcheck disable=SC2034 # used by the scripts that source this file
PACKAGING=$ROOT/packaging/windows
PREFIX=${TQRF_WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/tqrf-wine-64}
BUILD32=$(realpath -m "${TQRF_BUILD_MINGW32:-$ROOT/build-mingw32}")
BUILD64=$(realpath -m "${TQRF_BUILD_MINGW64:-$ROOT/build-mingw64}")
# packaging/windows/build.sh builds into the same folders.
export TQRF_BUILD_MINGW32=$BUILD32 TQRF_BUILD_MINGW64=$BUILD64
JOBS=${TQRF_JOBS:-2}

say() { printf '%s: %s\n' "$WINE_SCRIPT" "$*"; }
banner() {
    printf '\n!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\n' >&2
    printf '!!! %s FAILED: %s\n' "$WINE_SCRIPT" "$*" >&2
    printf '!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\n\n' >&2
}
die() {
    banner "$@"
    exit 1
}
# Any unexpected failure is reported as loudly as an expected one.
trap 'banner "unexpected failure (exit $?) at line $LINENO of $0"' ERR

build_dir() {
    if [ "$1" = i686 ]; then echo "$BUILD32"; else echo "$BUILD64"; fi
}

select_wine_archs() {
    command -v wine >/dev/null 2>&1 || die "no wine command (tests/windows/install-wine.sh installs it)"
    RUN_ARCHS=()
    local arch
    for arch in "$@"; do
        case $arch in
        i686)
            if dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then
                RUN_ARCHS+=(i686)
            else
                say "LEFT OUT i686: Wine cannot run 32-bit programs on this machine" \
                    "(package wine32:i386 is not installed)" >&2
            fi
            ;;
        *) RUN_ARCHS+=("$arch") ;;
        esac
    done
    [ ${#RUN_ARCHS[@]} -gt 0 ] || die "Wine can run none of the architectures asked for ($*)"
}

find_sim() {
    SIM=${TQRF_SIM:-}
    if [ -z "$SIM" ]; then
        local native=${TQRF_BUILD_NATIVE:-$ROOT/build-win-native}
        if [ ! -f "$native/CMakeCache.txt" ]; then
            cmake -S "$ROOT" -B "$native" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTQRF_BUILD_TESTS=OFF >/dev/null
        fi
        cmake --build "$native" -j"$JOBS" --target tqrf-sim
        SIM=$(find "$native" -name tqrf-sim -type f -perm -u+x -print -quit)
    fi
    SIM=$(realpath -m "$SIM")
    [ -n "$SIM" ] && [ -x "$SIM" ] || die "no tqrf-sim executable (set TQRF_SIM or build the simulator)"
    say "simulator: $SIM"
}

SIM_PIDS=()
SIM_COMS=()
wine_cleanup() {
    stop_sims
    wineserver -k >/dev/null 2>&1 || true
}

open_wine_prefix() {
    local logs=$1
    mkdir -p "$(dirname "$PREFIX")" "$logs"
    # One run at a time per prefix: the COM names and the wineserver are shared.
    exec 9>"$PREFIX.lock"
    flock -w 900 9 || die "another run holds $PREFIX.lock"
    export WINEPREFIX=$PREFIX WINEARCH=win64 WINEDLLOVERRIDES="mscoree=;mshtml=" WINEDEBUG=-all
    trap wine_cleanup EXIT
    if [ ! -f "$PREFIX/.tqrf-ready" ]; then
        # A fresh prefix has no dosdevices/ until wineboot has run.
        say "creating the Wine prefix $PREFIX (cached for later runs)"
        rm -rf "$PREFIX"
        if ! timeout 300 wineboot -i >"$logs/wineboot.log" 2>&1 9>&-; then
            tail -20 "$logs/wineboot.log" >&2 || true
            die "Wine cannot start: creating the prefix failed (log: $logs/wineboot.log)"
        fi
        timeout 120 wineserver -w 9>&- || true
        touch "$PREFIX/.tqrf-ready"
    fi
    # A wineserver of the run's own, its output kept out of the tests' (ended on exit).
    wineserver -p >/dev/null 2>&1 </dev/null 9>&- || true
    # Wine must run a program at all before anything else is judged.
    local alive
    alive=$(timeout 120 wine cmd /c echo tqrf-wine-alive 2>"$logs/wine-alive.err" 9>&- | tr -d '\r' || true)
    if [ "$alive" != "tqrf-wine-alive" ]; then
        tail -20 "$logs/wine-alive.err" >&2 || true
        die "Wine cannot start a program (wine cmd /c echo gave '$alive')"
    fi
    say "$(wine --version 2>/dev/null) runs in $PREFIX"
}

# Its log files are $LOGS/sim-NAME.out (the first line: the pseudo-terminal) and .err.
start_sim() {
    local name=$1 com=$2 slave=""
    shift 2
    "$SIM" "$@" >"$LOGS/sim-$name.out" 2>"$LOGS/sim-$name.err" 9>&- &
    local pid=$!
    SIM_PIDS+=("$pid")
    for _ in $(seq 1 100); do
        slave=$(head -n 1 "$LOGS/sim-$name.out" 2>/dev/null || true)
        [ -n "$slave" ] && break
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    if [ -z "$slave" ] || [ ! -c "$slave" ]; then
        cat "$LOGS/sim-$name.err" >&2 || true
        die "$name: the simulator did not print its pseudo-terminal (got '$slave')"
    fi
    ln -sfn "$slave" "$PREFIX/dosdevices/com$com"
    SIM_COMS+=("$com")
    say "COM$com -> $slave ($*)"
}

stop_sims() {
    local pid com
    for pid in "${SIM_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${SIM_PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
    for com in "${SIM_COMS[@]}"; do rm -f "$PREFIX/dosdevices/com$com"; done
    SIM_PIDS=()
    SIM_COMS=()
}

windows_path() { printf 'Z:%s' "$1" | tr '/' '\\'; }

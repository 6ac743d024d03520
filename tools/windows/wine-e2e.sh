#!/usr/bin/env bash
# End-to-end test of the Windows DLLs under Wine, against the reader simulator on a
# pseudo-terminal, for i686 and x86_64:
#   1. installs Wine (wine, wine64, wine32:i386) and the cross compilers when missing
#      (tools/windows/install-wine.sh);
#   2. cross-builds the DLLs and the host program (tools/windows/build.sh, incremental) and
#      checks their export and import tables (tools/windows/check-exports.sh);
#   3. builds the native simulator tqrf-sim unless $TQRF_SIM names one;
#   4. per architecture: starts a fresh simulator, maps COMn of a cached Wine prefix to its
#      pseudo-terminal (a dosdevices symlink), runs the host program against tqrf_init("COMn")
#      with the serial trace on, and checks the steps' results and the parity order on the line.
#      The simulator is told to answer five requests badly once each (no reply, bad XOR, too
#      late, too long, truncated); the host's fault steps expect exactly that.
#
#   tools/windows/wine-e2e.sh
#
# Environment (all optional):
#   TQRF_SIM            path of a built tqrf-sim (default: build it in build-win-native)
#   TQRF_BUILD_NATIVE   native build directory for the simulator (default build-win-native)
#   TQRF_BUILD_MINGW32  i686 build directory (default build-mingw32)
#   TQRF_BUILD_MINGW64  x86_64 build directory (default build-mingw64)
#   TQRF_WINEPREFIX     cached Wine prefix (default ~/.cache/tqrf-wine-64; one 64-bit prefix
#                       runs both the 32-bit and the 64-bit host)
#   TQRF_WINE_COM       COM port number to map (default 42)
#   TQRF_WINE_ARCHS     architectures to run (default "i686 x86_64")
#   TQRF_WINE_LOGS      where logs and traces are kept (default build-wine-e2e)
#   TQRF_E2PROM_ADDRESS E2PROM address for the host's write/read-back step (default 0x30)
#
# Exit code 0 only when everything passed. When Wine cannot run a program at all the script
# says so in a banner and fails: it never passes by skipping.
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
PORT=${TQRF_WINE_COM:-42}
MISSING_PORT=$((PORT + 1))
PREFIX=${TQRF_WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/tqrf-wine-64}
read -r -a ARCHS <<<"${TQRF_WINE_ARCHS:-i686 x86_64}"
LOGS=$(realpath -m "${TQRF_WINE_LOGS:-$ROOT/build-wine-e2e}")
E2PROM_ADDRESS=${TQRF_E2PROM_ADDRESS:-0x30}
BUILD32=$(realpath -m "${TQRF_BUILD_MINGW32:-$ROOT/build-mingw32}")
BUILD64=$(realpath -m "${TQRF_BUILD_MINGW64:-$ROOT/build-mingw64}")
export TQRF_BUILD_MINGW32=$BUILD32 TQRF_BUILD_MINGW64=$BUILD64

say() { printf 'wine-e2e: %s\n' "$*"; }
banner() {
    printf '\n!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\n' >&2
    printf '!!! wine-e2e FAILED: %s\n' "$@" >&2
    printf '!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\n\n' >&2
}
die() {
    banner "$@"
    exit 1
}

# Any unexpected failure is reported as loudly as an expected one.
trap 'banner "unexpected failure (exit $?) at line $LINENO of $0"' ERR

# ---- 1. Packages --------------------------------------------------------------------------
"$HERE/install-wine.sh"
command -v wine >/dev/null 2>&1 || die "no wine command after installing the packages"

# ---- 2. Cross builds and their tables -----------------------------------------------------
build_archs=()
for arch in "${ARCHS[@]}"; do build_archs+=("$arch"); done
"$HERE/build.sh" "${build_archs[@]}"
dlls=()
for arch in "${ARCHS[@]}"; do
    if [ "$arch" = i686 ]; then dlls+=("$BUILD32/tq_RWD_DLL.dll"); else dlls+=("$BUILD64/tq_RWD_DLL.dll"); fi
done
"$HERE/check-exports.sh" "${dlls[@]}"

# ---- 3. The simulator ---------------------------------------------------------------------
SIM=${TQRF_SIM:-}
if [ -z "$SIM" ]; then
    native=${TQRF_BUILD_NATIVE:-$ROOT/build-win-native}
    if [ ! -f "$native/CMakeCache.txt" ]; then
        cmake -S "$ROOT" -B "$native" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTQRF_BUILD_TESTS=OFF >/dev/null
    fi
    cmake --build "$native" -j"${TQRF_JOBS:-2}" --target tqrf-sim
    SIM=$(find "$native" -name tqrf-sim -type f -perm -u+x -print -quit)
fi
SIM=$(realpath -m "$SIM")
[ -n "$SIM" ] && [ -x "$SIM" ] || die "no tqrf-sim executable (set TQRF_SIM or build the simulator)"
say "simulator: $SIM"

# ---- 4. The Wine prefix -------------------------------------------------------------------
mkdir -p "$(dirname "$PREFIX")" "$LOGS"
# One run at a time per prefix: the COM port mapping is shared.
exec 9>"$PREFIX.lock"
flock -w 900 9 || die "another run holds $PREFIX.lock"

export WINEPREFIX=$PREFIX WINEARCH=win64 WINEDLLOVERRIDES="mscoree=;mshtml="

SIM_PID=""
cleanup() {
    if [ -n "$SIM_PID" ]; then
        kill "$SIM_PID" 2>/dev/null || true
        wait "$SIM_PID" 2>/dev/null || true
    fi
    rm -f "$PREFIX/dosdevices/com$PORT"
    WINEDEBUG=-all wineserver -k >/dev/null 2>&1 || true
}
trap cleanup EXIT

if [ ! -f "$PREFIX/.tqrf-ready" ]; then
    say "creating the Wine prefix $PREFIX (cached for later runs)"
    rm -rf "$PREFIX"
    if ! WINEDEBUG=-all timeout 300 wineboot -i >"$LOGS/wineboot.log" 2>&1; then
        tail -20 "$LOGS/wineboot.log" >&2 || true
        die "Wine cannot start: creating the prefix failed (log: $LOGS/wineboot.log)"
    fi
    WINEDEBUG=-all timeout 120 wineserver -w || true
    touch "$PREFIX/.tqrf-ready"
fi
# Wine must run a program at all before anything else is judged.
alive=$(WINEDEBUG=-all timeout 120 wine cmd /c echo tqrf-wine-alive 2>"$LOGS/wine-alive.err" | tr -d '\r' || true)
if [ "$alive" != "tqrf-wine-alive" ]; then
    tail -20 "$LOGS/wine-alive.err" >&2 || true
    die "Wine cannot start a program (wine cmd /c echo gave '$alive')"
fi
say "$(wine --version 2>/dev/null) runs in $PREFIX"

windows_path() { printf 'Z:%s' "$1" | tr '/' '\\'; }

# ---- 5. The sessions ----------------------------------------------------------------------
failures=0
for arch in "${ARCHS[@]}"; do
    if [ "$arch" = i686 ]; then build=$BUILD32; else build=$BUILD64; fi
    dll=$build/tq_RWD_DLL.dll
    host=$build/tools/windows/tqrf-win-host.exe
    log=$LOGS/host-$arch.log
    trace=$LOGS/trace-$arch.log
    say "---- $arch: $host"

    # A fresh simulator per session: a new pseudo-terminal in its initial line state. (Newer
    # Linux kernels refuse, with EINVAL, a parity change on a pseudo-terminal that leaves its
    # settings as they were; a second session's opening switch to space parity on a terminal
    # that the first one left in space parity would be such a change, and Wine passes the
    # refusal on as a failed SetCommState.)
    # One bad reply each for five commands: the host's fault steps run first and expect them.
    "$SIM" --fault noreply@0x77/1 --fault corrupt-xor@0x76/1 --fault delay:60@0x73/1 \
        --fault oversize@0x75/1 --fault truncate@0x6B/1 \
        >"$LOGS/sim-$arch.out" 2>"$LOGS/sim-$arch.err" &
    SIM_PID=$!
    slave=""
    for _ in $(seq 1 100); do
        slave=$(head -n 1 "$LOGS/sim-$arch.out" 2>/dev/null || true)
        [ -n "$slave" ] && break
        kill -0 "$SIM_PID" 2>/dev/null || break
        sleep 0.1
    done
    if [ -z "$slave" ] || [ ! -c "$slave" ]; then
        cat "$LOGS/sim-$arch.err" >&2 || true
        die "$arch: the simulator did not print its pseudo-terminal (got '$slave')"
    fi
    ln -sfn "$slave" "$PREFIX/dosdevices/com$PORT"
    rm -f "$PREFIX/dosdevices/com$MISSING_PORT"
    say "COM$PORT -> $slave"

    rc=0
    WINEDEBUG=fixme-all,+pid,+timestamp,+comm,+file timeout 300 \
        wine "$host" "$(windows_path "$dll")" "COM$PORT" "COM$MISSING_PORT" "$E2PROM_ADDRESS" faults \
        >"$log" 2>"$trace" || rc=$?
    tr -d '\r' <"$log" | sed "s/^/  [$arch] /"

    kill "$SIM_PID" 2>/dev/null || true
    wait "$SIM_PID" 2>/dev/null || true
    SIM_PID=""
    rm -f "$PREFIX/dosdevices/com$PORT"

    if [ $rc -ne 0 ]; then
        if ! grep -q '^loaded ' "$log"; then
            tail -20 "$trace" >&2 || true
            banner "$arch: Wine did not run the host program (exit $rc; trace: $trace)"
        else
            say "$arch: FAIL: the host program exited with $rc"
        fi
        failures=$((failures + 1))
        continue
    fi
    requests=$(tr -d '\r' <"$log" | awk '/^requests: [0-9]+$/ { print $2 }')
    if [ -z "$requests" ]; then
        say "$arch: FAIL: the host program did not report its requests"
        failures=$((failures + 1))
        continue
    fi
    if ! awk -v expected="$requests" -f "$HERE/parity-order.awk" "$trace"; then
        say "$arch: FAIL: parity order (trace: $trace)"
        failures=$((failures + 1))
        continue
    fi
    say "$arch: PASS"
done

if [ $failures -ne 0 ]; then
    die "$failures of ${#ARCHS[@]} Windows sessions under Wine failed (logs in $LOGS)"
fi
say "PASS: ${ARCHS[*]} under Wine against the simulator"

#!/usr/bin/env bash
# Runs the serial layer's conformance suite (tests/conformance) against the Windows backend: the
# suite built with mingw-w64 as a Windows program, run under Wine with a COM name mapped onto a
# pseudo-terminal whose other end tests/conformance/run.py plays. The same suite runs natively
# against the POSIX backend under ctest (serial_conformance_posix).
#
#   tests/windows/wine-conformance.sh              # the architectures Wine can run (i686, x86_64)
#   tests/windows/wine-conformance.sh x86_64       # one of them
#
# Environment (all optional): TQRF_BUILD_MINGW32, TQRF_BUILD_MINGW64 (build directories, default
# build-mingw32 and build-mingw64), TQRF_WINEPREFIX (cached prefix, default
# ~/.cache/tqrf-wine-64, shared with wine-e2e.sh), TQRF_WINE_CONFORMANCE_COM (COM number, default
# 40; the next number must stay unmapped), TQRF_WINE_LOGS (default build-wine-e2e).
#
# An architecture Wine cannot run here (32-bit programs need wine32:i386) is left out with a
# message saying so; the run fails when none is left.
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
COM=${TQRF_WINE_CONFORMANCE_COM:-40}
PREFIX=${TQRF_WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/tqrf-wine-64}
LOGS=$(realpath -m "${TQRF_WINE_LOGS:-$ROOT/build-wine-e2e}")
JOBS=${TQRF_JOBS:-2}

say() { printf 'wine-conformance: %s\n' "$*"; }
die() {
    printf 'wine-conformance: FAILED: %s\n' "$*" >&2
    exit 1
}

command -v wine >/dev/null 2>&1 || die "no wine command (tests/windows/install-wine.sh installs it)"
command -v python3 >/dev/null 2>&1 || die "no python3 (package python3)"
want=("$@")
[ ${#want[@]} -gt 0 ] || read -r -a want <<<"${TQRF_WINE_ARCHS:-i686 x86_64}"
read -r -a archs <<<"$("$HERE/wine-archs.sh" "${want[@]}")"
for arch in "${want[@]}"; do
    case " ${archs[*]} " in
    *" $arch "*) ;;
    *) say "SKIPPED $arch: Wine cannot run $arch programs on this machine (for i686: install wine32:i386)" ;;
    esac
done
[ ${#archs[@]} -gt 0 ] || die "Wine can run none of the architectures asked for (${want[*]})"

mkdir -p "$LOGS" "$(dirname "$PREFIX")"
programs=()
for arch in "${archs[@]}"; do
    if [ "$arch" = i686 ]; then
        dir=$(realpath -m "${TQRF_BUILD_MINGW32:-$ROOT/build-mingw32}")
    else
        dir=$(realpath -m "${TQRF_BUILD_MINGW64:-$ROOT/build-mingw64}")
    fi
    if [ ! -f "$dir/CMakeCache.txt" ]; then
        cmake -S "$ROOT" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-mingw-$arch.cmake" \
            -DCMAKE_BUILD_TYPE=Release -DTQRF_WERROR=ON >/dev/null
    fi
    cmake --build "$dir" -j"$JOBS" --target serial_conformance >/dev/null
    programs+=("$dir/tests/conformance/serial_conformance.exe")
done

# One run at a time per prefix: the COM mapping and the wineserver are shared with wine-e2e.sh.
exec 9>"$PREFIX.lock"
flock -w 900 9 || die "another run holds $PREFIX.lock"
export WINEPREFIX=$PREFIX WINEARCH=win64 WINEDLLOVERRIDES="mscoree=;mshtml=" WINEDEBUG=-all
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
if [ ! -f "$PREFIX/.tqrf-ready" ]; then
    say "creating the Wine prefix $PREFIX (cached for later runs)"
    rm -rf "$PREFIX"
    timeout 300 wineboot -i >"$LOGS/wineboot.log" 2>&1 || die "creating the Wine prefix failed (log: $LOGS/wineboot.log)"
    timeout 120 wineserver -w || true
    touch "$PREFIX/.tqrf-ready"
fi

status=0
for i in "${!archs[@]}"; do
    say "${archs[$i]}: ${programs[$i]}"
    if python3 "$ROOT/tests/conformance/run.py" --wine --com "$COM" \
        --log "$LOGS/conformance-${archs[$i]}.log" "${programs[$i]}"; then
        say "${archs[$i]}: PASS"
    else
        say "${archs[$i]}: FAIL (Wine's messages: $LOGS/conformance-${archs[$i]}.log)"
        status=1
    fi
done
exit $status

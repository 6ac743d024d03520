#!/usr/bin/env bash
# Runs the serial layer's conformance suite (tests/conformance) against the Windows backend: the
# suite built with mingw-w64 as a Windows program, run under Wine with a COM name mapped onto a
# pseudo-terminal whose other end tests/conformance/run.py plays. The same suite runs natively
# against the POSIX backend under ctest (serial_conformance_posix).
#
#   tests/windows/wine-conformance.sh              # the architectures Wine can run (i686, x86_64)
#   tests/windows/wine-conformance.sh x86_64       # one of them
#
# Environment (all optional), besides those of wine-common.sh (TQRF_BUILD_MINGW32,
# TQRF_BUILD_MINGW64, TQRF_WINEPREFIX): TQRF_WINE_ARCHS (default "i686 x86_64", when no
# architecture is given), TQRF_WINE_CONFORMANCE_COM (COM number, default 40; the next number must
# stay unmapped), TQRF_WINE_LOGS (default build-wine-e2e).
#
# An architecture Wine cannot run here (32-bit programs need wine32:i386) is left out with a
# message saying so; the run fails when none is left.
set -euo pipefail

WINE_SCRIPT=wine-conformance
# shellcheck source-path=SCRIPTDIR source=wine-common.sh
. "$(dirname "${BASH_SOURCE[0]}")/wine-common.sh"
COM=${TQRF_WINE_CONFORMANCE_COM:-40}
LOGS=$(realpath -m "${TQRF_WINE_LOGS:-$ROOT/build-wine-e2e}")

command -v python3 >/dev/null 2>&1 || die "no python3 (package python3)"
want=("$@")
[ ${#want[@]} -gt 0 ] || read -r -a want <<<"${TQRF_WINE_ARCHS:-i686 x86_64}"
select_wine_archs "${want[@]}"
archs=("${RUN_ARCHS[@]}")

mkdir -p "$LOGS"
programs=()
for arch in "${archs[@]}"; do
    dir=$(build_dir "$arch")
    if [ ! -f "$dir/CMakeCache.txt" ]; then
        cmake -S "$ROOT" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-mingw-$arch.cmake" \
            -DCMAKE_BUILD_TYPE=Release -DTQRF_WERROR=ON >/dev/null
    fi
    cmake --build "$dir" -j"$JOBS" --target serial_conformance >/dev/null
    programs+=("$dir/tests/conformance/serial_conformance.exe")
done

open_wine_prefix "$LOGS"

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

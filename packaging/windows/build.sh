#!/usr/bin/env bash
# Cross-builds the Windows DLL, the tqrf tool (tqrf.exe) and the Windows host program with
# mingw-w64, warnings as errors.
#
#   packaging/windows/build.sh              # both: i686 and x86_64
#   packaging/windows/build.sh i686         # one of them
#
# Build directories: build-mingw32 and build-mingw64 at the top of the source tree, or
# $TQRF_BUILD_MINGW32 / $TQRF_BUILD_MINGW64. Builds are incremental: a second run only
# rebuilds what changed. Installs the cross compilers with apt-get when they are missing.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
JOBS=${TQRF_JOBS:-2}

archs=("$@")
[ ${#archs[@]} -gt 0 ] || archs=(i686 x86_64)

need_packages=()
for arch in "${archs[@]}"; do
    case "$arch" in
        i686) command -v i686-w64-mingw32-g++ >/dev/null 2>&1 || need_packages+=(g++-mingw-w64-i686) ;;
        x86_64) command -v x86_64-w64-mingw32-g++ >/dev/null 2>&1 || need_packages+=(g++-mingw-w64-x86-64) ;;
        *)
            echo "build.sh: unknown architecture '$arch' (i686 or x86_64)" >&2
            exit 2
            ;;
    esac
done
if [ ${#need_packages[@]} -gt 0 ]; then
    echo "build.sh: installing ${need_packages[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${need_packages[@]}" >/dev/null
fi

for arch in "${archs[@]}"; do
    if [ "$arch" = i686 ]; then
        dir=${TQRF_BUILD_MINGW32:-$ROOT/build-mingw32}
    else
        dir=${TQRF_BUILD_MINGW64:-$ROOT/build-mingw64}
    fi
    echo "build.sh: $arch in $dir"
    # A folder configured with the win32 thread model's compilers cannot build tqrf.exe.
    if [ -f "$dir/CMakeCache.txt" ] && grep -q '^CMAKE_CXX_COMPILER:.*-win32$' "$dir/CMakeCache.txt"; then
        echo "build.sh: $dir was configured with the win32 thread model; configuring it again"
        rm -rf "$dir/CMakeCache.txt" "$dir/CMakeFiles"
    fi
    if [ ! -f "$dir/CMakeCache.txt" ]; then
        cmake -S "$ROOT" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-mingw-$arch.cmake" \
            -DCMAKE_BUILD_TYPE=Release -DTQRF_WERROR=ON >/dev/null
    fi
    targets=(tq_RWD_DLL tqrf-win-host)
    # The configure run said why when the tool is left out (CLI11 or nlohmann-json missing).
    if cmake --build "$dir" --target help | grep -E '^(\.\.\. )?tqrf(: .*)?$' >/dev/null; then targets+=(tqrf); fi
    cmake --build "$dir" -j"$JOBS" --target "${targets[@]}"
done

#!/usr/bin/env bash
# Makes the Windows bundle of each built architecture: a zip with the DLL and the tqrf tool
# (tqrf.exe) in bin/, the DLL's import libraries for MinGW (tq_RWD_DLL.dll.a) and for MSVC
# (tq_RWD_DLL.lib, made from the .def), the .def, the headers, README-windows.txt and, when the
# build made it (mono-mcs), the .NET assembly; and beside each zip the Python wheel with that
# DLL (tqrf-<version>-py3-none-win32.whl or ...-win_amd64.whl). The test host program
# (tqrf-win-host.exe) is never part of it.
#
#   packaging/windows/bundle.sh OUTDIR BUILD_DIR...
#   packaging/windows/bundle.sh build/dist build-mingw32 build-mingw64
#     -> build/dist/tq_RWD_DLL-1.2.0-windows-i686.zip, ...-windows-x86_64.zip,
#        build/dist/tqrf-1.2.0-py3-none-win32.whl, ...-win_amd64.whl
#
# The MSVC import library is made with llvm-dlltool when it is there, else with the
# mingw-w64 dlltool of the architecture. Needs cmake (to write the zip), objdump and python3.
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
if [ $# -lt 2 ]; then
    echo "usage: $0 OUTDIR BUILD_DIR..." >&2
    exit 2
fi
out=$(realpath -m "$1")
shift
mkdir -p "$out"

for build in "$@"; do
    dll="$build/tq_RWD_DLL.dll"
    for f in "$dll" "$build/tq_RWD_DLL.dll.a" "$build/tq_RWD_DLL.def" \
        "$build/include/tq_RWD_DLL_version.h" "$build/tqrf.exe"; do
        [ -f "$f" ] || { echo "bundle: $f missing (build $build first)" >&2; exit 1; }
    done
    format=$(objdump -f "$dll" 2>/dev/null | sed -n 's/.*file format \(pei-[a-z0-9-]*\).*/\1/p')
    case "$format" in
        pei-i386) arch=i686 machine=i386 dlltool=i686-w64-mingw32-dlltool ;;
        pei-x86-64) arch=x86_64 machine=i386:x86-64 dlltool=x86_64-w64-mingw32-dlltool ;;
        *)
            echo "bundle: $dll: not a Windows DLL of a known architecture ($format)" >&2
            exit 1
            ;;
    esac
    version=$(sed -n 's/^#define TQRF_VERSION_STRING "\(.*\)"$/\1/p' "$build/include/tq_RWD_DLL_version.h")
    name="tq_RWD_DLL-$version-windows-$arch"
    stage=$(mktemp -d)
    dir="$stage/$name"
    mkdir -p "$dir/bin" "$dir/lib" "$dir/include"
    cp "$dll" "$build/tqrf.exe" "$dir/bin/"
    # tqrf.exe starts from the unzipped folder: it may import the DLL beside it and Windows'
    # own DLLs, no compiler runtime.
    for imported in $(objdump -p "$build/tqrf.exe" | sed -n 's/^[[:space:]]*DLL Name: //p'); do
        case $(printf '%s' "$imported" | tr '[:upper:]' '[:lower:]') in
            tq_rwd_dll.dll | kernel32.dll | msvcrt.dll | ucrtbase.dll | advapi32.dll | setupapi.dll | \
                cfgmgr32.dll | user32.dll | ntdll.dll | api-ms-win-*.dll) ;;
            *)
                echo "bundle: $build/tqrf.exe imports $imported, which Windows does not bring" >&2
                exit 1
                ;;
        esac
    done
    if [ -f "$build/dotnet/TqRwdDll.dll" ]; then
        mkdir -p "$dir/dotnet"
        cp "$build/dotnet/TqRwdDll.dll" "$build/dotnet/TqRwdDll.xml" "$ROOT"/bindings/dotnet/*.cs \
            "$dir/dotnet/"
    fi
    cp "$build/tq_RWD_DLL.dll.a" "$build/tq_RWD_DLL.def" "$dir/lib/"
    cp "$ROOT/include/tq_RWD_DLL.h" "$ROOT/include/tq_RWD_DLL.hpp" \
        "$ROOT/include/tq_RWD_DLL_mifare.hpp" "$build/include/tq_RWD_DLL_version.h" "$dir/include/"
    if command -v llvm-dlltool >/dev/null 2>&1; then
        llvm-dlltool -m "$machine" -D tq_RWD_DLL.dll -d "$build/tq_RWD_DLL.def" \
            -l "$dir/lib/tq_RWD_DLL.lib"
    else
        "$dlltool" -m "$machine" -D tq_RWD_DLL.dll -d "$build/tq_RWD_DLL.def" \
            -l "$dir/lib/tq_RWD_DLL.lib"
    fi
    bits=32 msmachine=x86 wheelplat=win32
    [ "$arch" = x86_64 ] && bits=64 msmachine=x64 wheelplat=win_amd64
    sed -e "s/@VERSION@/$version/g" -e "s/@ARCH@/$arch/g" -e "s/@BITS@/$bits/g" \
        -e "s/@MSMACHINE@/$msmachine/g" -e "s/@WHEELPLAT@/$wheelplat/g" \
        "$HERE/README-windows.txt.in" | sed 's/$/\r/' >"$dir/README-windows.txt"
    # Written beside its final name and renamed: a zip of that name is always a whole one.
    (cd "$stage" && cmake -E tar cf "$out/.$name.zip.part" --format=zip "$name")
    mv -f "$out/.$name.zip.part" "$out/$name.zip"
    rm -rf "$stage"
    # What a user unpacks: every file, and an MSVC import entry for every export of the .def.
    listing=$(cmake -E tar tf "$out/$name.zip" | sed 's|/$||' | sort)
    for f in bin/tq_RWD_DLL.dll bin/tqrf.exe lib/tq_RWD_DLL.lib lib/tq_RWD_DLL.dll.a lib/tq_RWD_DLL.def \
        include/tq_RWD_DLL.h include/tq_RWD_DLL_version.h include/tq_RWD_DLL.hpp \
        include/tq_RWD_DLL_mifare.hpp README-windows.txt; do
        printf '%s\n' "$listing" | grep -qx "$name/$f" || { echo "bundle: $name.zip lacks $f" >&2; exit 1; }
    done
    if printf '%s\n' "$listing" | grep -qi 'tqrf-win-host'; then
        echo "bundle: $name.zip holds the test host program" >&2
        exit 1
    fi
    exports=$(grep -c '^ *tqrf_' "$build/tq_RWD_DLL.def")
    if command -v llvm-nm >/dev/null 2>&1; then
        stage=$(mktemp -d)
        (cd "$stage" && cmake -E tar xf "$out/$name.zip")
        imports=$(llvm-nm "$stage/$name/lib/tq_RWD_DLL.lib" | grep -c ' T __imp_' || true)
        rm -rf "$stage"
        [ "$imports" -eq "$exports" ] ||
            { echo "bundle: tq_RWD_DLL.lib has $imports imports, the .def $exports exports" >&2; exit 1; }
    fi
    echo "bundle: $out/$name.zip ($exports exports)"
    wheel=$(python3 "$ROOT/bindings/python/make_wheel.py" --version "$version" --platform "$wheelplat" \
        --out "$out" --add "$dll")
    echo "bundle: $wheel"
done

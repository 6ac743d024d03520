#!/usr/bin/env bash
# Builds the first C++ program of docs/api.md (the code block after the line that names this
# script) as a user of the Windows bundle would: the bundle of BUILD_DIR is made and unpacked,
# the program is compiled with mingw-w64 g++ against its headers and import library, with
# MinGW's C++ runtime linked DYNAMICALLY, and the runtime DLLs it needs (libstdc++-6.dll,
# libgcc_s_*.dll, libwinpthread-1.dll, whichever it imports) are copied beside it with
# tq_RWD_DLL.dll. Checks that the program imports the C++ runtime DLLs (it really is linked
# dynamically) and that tq_RWD_DLL.dll does not (its own runtime is inside it).
#
#   tests/windows/cxx-example.sh ARCH BUILD_DIR OUT_DIR    # ARCH: i686 or x86_64
#
# Prints the path of the program on standard output; OUT_DIR holds it and its DLLs.
set -euo pipefail
WINE_SCRIPT="cxx-example"
# shellcheck source-path=SCRIPTDIR source=wine-common.sh
. "$(dirname "${BASH_SOURCE[0]}")/wine-common.sh"
usage() {
    say "$*" >&2
    exit 2
}
[ $# -eq 3 ] || usage "usage: $0 ARCH BUILD_DIR OUT_DIR"
case $1 in
    i686 | x86_64) arch=$1 ;;
    *) usage "unknown architecture '$1' (i686 or x86_64)" ;;
esac
build=$(realpath -m "$2") out=$(realpath -m "$3")
cxx=$arch-w64-mingw32-g++
objdump=$arch-w64-mingw32-objdump
command -v "$cxx" >/dev/null 2>&1 || usage "$cxx not found"

rm -rf "$out"
mkdir -p "$out/bundle"

# The example exactly as the documentation shows it.
awk '/<!-- tests\/windows\/cxx-example.sh builds the next block -->/ { armed = 1; next }
     armed && /^```cpp$/ { inside = 1; next }
     inside && /^```$/ { exit }
     inside { print }' "$ROOT/docs/api.md" >"$out/app.cpp"
[ -s "$out/app.cpp" ] || die "no example found in docs/api.md"

# The bundle a user downloads, unpacked.
"$PACKAGING/bundle.sh" "$out/dist" "$build" >&2
zip=$(find "$out/dist" -name "tq_RWD_DLL-*-windows-$arch.zip" -print -quit)
[ -n "$zip" ] || die "bundle.sh made no $arch zip"
(cd "$out/bundle" && cmake -E tar xf "$zip")
bundle=$(find "$out/bundle" -mindepth 1 -maxdepth 1 -type d -print -quit)

# Compiled and linked as the user would, the C++ runtime left as DLLs (g++'s default, spelled
# out).
"$cxx" -std=c++17 -O2 -Wall -Wextra -Werror -shared-libgcc "$out/app.cpp" -I"$bundle/include" \
    -L"$bundle/lib" -ltq_RWD_DLL -o "$out/app.exe"
cp "$bundle/bin/tq_RWD_DLL.dll" "$out/"

imports() { "$objdump" -p "$1" | sed -n 's/^[[:space:]]*DLL Name: //p'; }

# Every DLL the program needs that the compiler ships (not Windows' own), and what those need
# in turn, beside the program.
copied=()
pending=("$out/app.exe")
while [ ${#pending[@]} -gt 0 ]; do
    file=${pending[0]}
    pending=("${pending[@]:1}")
    while read -r name; do
        [ -n "$name" ] && [ ! -e "$out/$name" ] || continue
        found=$("$cxx" -print-file-name="$name")
        [ "$found" != "$name" ] && [ -f "$found" ] || continue  # a Windows system DLL
        cp "$found" "$out/$name"
        copied+=("$name")
        pending+=("$out/$name")
    done < <(imports "$file")
done

if ! imports "$out/app.exe" | grep -qx 'libstdc++-6.dll'; then
    die "app.exe does not import libstdc++-6.dll: the runtime was linked statically"
fi
if imports "$out/tq_RWD_DLL.dll" | grep -qiE '^(libstdc\+\+|libgcc_s|libwinpthread)'; then
    die "tq_RWD_DLL.dll imports a C++ runtime DLL"
fi
say "$arch: app.exe with ${copied[*]} and tq_RWD_DLL.dll beside it" >&2
echo "$out/app.exe"

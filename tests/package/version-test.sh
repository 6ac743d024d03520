#!/usr/bin/env bash
# One version everywhere: everything a build ships carries the version of project() in
# CMakeLists.txt. Fails on the first place that says another.
#
#   tests/package/version-test.sh BUILD_DIR [DIST_DIR]
#
# Checks in BUILD_DIR what it built: `tqrf --version` (tool and library), the Python wheel's
# name, METADATA and tqrf/_version.py, the package's _version.py for the Debian package, the
# .NET assembly's version resource, the Debian packages' version (CPack) and changelog; in
# DIST_DIR (packaging/windows/bundle.sh's output) the Windows bundles and their wheels. In the
# sources: no version typed again in the Python package, and the README's file names.
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
[ $# -ge 1 ] && [ $# -le 2 ] || { echo "usage: $0 BUILD_DIR [DIST_DIR]" >&2; exit 2; }
BUILD=$1
DIST=${2:-}
V=$(sed -n 's/^project(tq_RWD_DLL VERSION \([0-9.]*\).*/\1/p' "$ROOT/CMakeLists.txt")
[ -n "$V" ] || { echo "FAIL  no project version in CMakeLists.txt" >&2; exit 1; }
failed=0
checked=0
same() { # WHAT FOUND
    checked=$((checked + 1))
    if [ "$2" = "$V" ]; then
        echo "ok    $1: $2"
    else
        echo "FAIL  $1: '$2', not $V"
        failed=$((failed + 1))
    fi
}
wheel_version() { # WHEEL: "metadata _version.py" as one word each
    python3 - "$1" <<'PY'
import re, sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    names = z.namelist()
    meta = next(n for n in names if n.endswith(".dist-info/METADATA"))
    m = re.search(r"^Version: (.*)$", z.read(meta).decode(), re.M)
    v = re.search(r'__version__ = "(.*)"', z.read("tqrf/_version.py").decode())
    print(m.group(1) if m else "none", v.group(1) if v else "none")
PY
}

same "Debian changelog" "$(sed -n '1s/^[^ ]* (\([^)]*\)).*/\1/p' "$ROOT/packaging/debian/changelog")"
if [ -f "$BUILD/CPackConfig.cmake" ]; then
    same "Debian packages (CPack)" "$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$BUILD/CPackConfig.cmake")"
fi
if [ -x "$BUILD/tools/tqrf" ]; then
    out=$("$BUILD/tools/tqrf" --version)
    same "tqrf --version (tool)" "$(printf '%s\n' "$out" | sed -n 's/^tqrf \(.*\)$/\1/p')"
    same "tqrf --version (library)" "$(printf '%s\n' "$out" | sed -n 's/^library tq_RWD_DLL \(.*\)$/\1/p')"
fi
same "Python package's _version.py" \
    "$(sed -n 's/^__version__ = "\(.*\)"$/\1/p' "$BUILD/bindings/python/_version.py")"
for wheel in "$BUILD"/dist/tqrf-*.whl; do
    [ -e "$wheel" ] || continue
    name=$(basename "$wheel")
    same "wheel name $name" "$(printf '%s' "$name" | sed 's/^tqrf-\([^-]*\)-.*/\1/')"
    read -r meta pyver < <(wheel_version "$wheel")
    same "wheel METADATA" "$meta"
    same "wheel tqrf/_version.py" "$pyver"
done
if [ -f "$BUILD/dotnet/TqRwdDll.dll" ]; then
    strings -el "$BUILD/dotnet/TqRwdDll.dll" >"$BUILD/dotnet/.strings"
    same ".NET assembly FileVersion" "$(grep -A1 -x FileVersion "$BUILD/dotnet/.strings" | sed -n '2s/\.0$//p')"
    same ".NET assembly ProductVersion" "$(grep -A1 -x ProductVersion "$BUILD/dotnet/.strings" | sed -n 2p)"
    rm -f "$BUILD/dotnet/.strings"
fi
if [ -n "$DIST" ]; then
    for zip in "$DIST"/tq_RWD_DLL-*-windows-*.zip "$DIST"/tqrf-*-py3-none-win*.whl; do
        [ -e "$zip" ] || { echo "FAIL  $DIST has no Windows bundle or wheel"; failed=$((failed + 1)); continue; }
        name=$(basename "$zip")
        same "$name" "$(printf '%s' "$name" | sed 's/^tq_RWD_DLL-\([^-]*\)-.*/\1/; s/^tqrf-\([^-]*\)-.*/\1/')"
        case "$name" in
        *.whl)
            read -r meta pyver < <(wheel_version "$zip")
            same "$name METADATA" "$meta"
            same "$name tqrf/_version.py" "$pyver"
            ;;
        esac
    done
fi
# Typed again nowhere: the Python package takes its version from the build.
checked=$((checked + 1))
if grep -nE '^version *=|^__version__ *= *"[0-9]' "$ROOT/bindings/python/pyproject.toml" \
    "$ROOT/bindings/python/src/tqrf/__init__.py"; then
    echo "FAIL  a version typed into the Python package's sources (above)"
    failed=$((failed + 1))
fi
for found in $(grep -oE 'tq_RWD_DLL-[0-9]+\.[0-9]+\.[0-9]+-windows|libtq_RWD_DLL\.so\.[0-9]+\.[0-9]+\.[0-9]+' \
    "$ROOT/README.md" "$ROOT/docs/windows.md" | sed 's/.*:tq_RWD_DLL-//; s/.*:libtq_RWD_DLL\.so\.//; s/-windows$//' | sort -u); do
    same "a file name in README.md or docs/windows.md" "$found"
done
echo "version test: $checked checked, $failed failed"
[ "$failed" -eq 0 ]

#!/usr/bin/env bash
# Tests the bindings as a user gets them, against the simulated reader:
#   1. the build's Python wheel, installed offline into a fresh virtual environment of each
#      Python on the machine (Debian's, and pyenv's 3.8, 3.11, 3.12 and 3.13 when installed),
#      runs a first session with no environment variable set: the wheel's own library and
#      tqrf-sim are found by the package;
#   2. the package's type check (mypy --strict) and its pytest suite, from the wheel;
#   3. an install from the source folder (Debian's Python and setuptools) uses the system's
#      search for the library and carries the project's version;
#   4. the compiled .NET assembly (BUILD/dotnet) with its .config: the binding's tests and a
#      first session under Mono, with only libtq_RWD_DLL.so.1 (as the runtime package has it).
# usage: bindings/run-tests.sh BUILD_DIR   (a native build with libtq_RWD_DLL.so,
#        sim/tqrf-sim, the python_wheel and dotnet targets, for example build/ci-werror).
#        Installs the Debian packages it needs.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)

if [ $# -ne 1 ]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi
BUILD=$(realpath "$1")
LIB=$BUILD/libtq_RWD_DLL.so
SIM=$BUILD/sim/tqrf-sim
VERSION=$(sed -n 's/^project(tq_RWD_DLL VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
if [ ! -e "$LIB" ] || [ ! -x "$SIM" ]; then
    echo "$0: $BUILD has no libtq_RWD_DLL.so or sim/tqrf-sim: build it first" >&2
    exit 2
fi

scripts/install-deps.sh python3 python3-venv python3-pip python3-setuptools python3-pytest \
    mypy mono-mcs mono-runtime
# The wheel and the assembly are made by the build; a build configured before mono-mcs was
# installed learns of it here.
cmake "$BUILD" >/dev/null
cmake --build "$BUILD" --target python_wheel dotnet
WHEEL=$(ls "$BUILD"/dist/tqrf-"$VERSION"-py3-none-linux_*.whl)

OUT=$BUILD/bindings-test
rm -rf "$OUT"
mkdir -p "$OUT"
export PYTHONDONTWRITEBYTECODE=1
# What a new user has: none of the settings that point the package at a library or simulator.
clean=(env -u TQRF_LIBRARY -u TQRF_SIM -u LD_LIBRARY_PATH -u PYTHONPATH)

echo "== Python: the wheel $(basename "$WHEEL") in a fresh virtual environment of each Python"
pythons=(/usr/bin/python3)
for minor in 3.8 3.11 3.12 3.13; do
    found=$(ls -d "${PYENV_ROOT:-$HOME/.pyenv}/versions/$minor".*/bin/python3 2>/dev/null | sort -V | tail -n 1 || true)
    if [ -n "$found" ]; then
        pythons+=("$found")
    else
        echo "skipped: no pyenv Python $minor on this machine"
    fi
done
n=0
for py in "${pythons[@]}"; do
    n=$((n + 1))
    venv=$OUT/venv-$n
    "$py" -m venv "$venv"
    "${clean[@]}" "$venv/bin/pip" install --quiet --no-index --disable-pip-version-check "$WHEEL"
    site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
    (cd "$OUT" && "${clean[@]}" "$venv/bin/python" "$ROOT/tests/package/python_session.py" \
        "$VERSION" "$site/tqrf")
done

echo "== Python: type check"
cp -r bindings/python/src "$OUT/src"
cp "$BUILD/bindings/python/_version.py" "$OUT/src/tqrf/"
/usr/bin/python3 -m mypy --strict --cache-dir "$OUT/mypy-cache" "$OUT/src/tqrf"

echo "== Python: tests, on the wheel"
/usr/bin/python3 -m venv --system-site-packages "$OUT/venv-tests"
"$OUT/venv-tests/bin/pip" install --quiet --no-index --disable-pip-version-check "$WHEEL"
(cd bindings/python &&
    TQRF_LIBRARY="$LIB" TQRF_SIM="$SIM" timeout 900 \
        "$OUT/venv-tests/bin/python" -m pytest -p no:cacheprovider -q tests)

echo "== Python: an install from the source folder uses the system's library"
# From a copy of the two files it needs beside it, with a library copied into the package's
# folder and an old build/ left over: neither may reach the install.
mkdir -p "$OUT/tree/bindings"
cp CMakeLists.txt "$OUT/tree/"
cp -r bindings/python "$OUT/tree/bindings/python"
cp "$LIB" "$OUT/tree/bindings/python/src/tqrf/libtq_RWD_DLL.so"
mkdir -p "$OUT/tree/bindings/python/build/lib/tqrf"
echo 'raise ImportError("a left-over from an earlier build was installed")' \
    >"$OUT/tree/bindings/python/build/lib/tqrf/stale.py"
/usr/bin/python3 -m venv --system-site-packages "$OUT/venv-source"
"${clean[@]}" "$OUT/venv-source/bin/pip" install --quiet --no-index --no-build-isolation \
    --disable-pip-version-check "$OUT/tree/bindings/python"
rm "$OUT/tree/bindings/python/src/tqrf/libtq_RWD_DLL.so"
installed=$("$OUT/venv-source/bin/python" -c 'import os, tqrf; print(os.path.dirname(tqrf.__file__))')
if ls "$installed" | grep -v '\.py$' | grep -vx -e py.typed -e __pycache__ ||
    [ -e "$installed/stale.py" ]; then
    echo "$0: the source install carries more than the package's sources: $(ls "$installed")" >&2
    exit 1
fi
(cd "$OUT" && env -u TQRF_LIBRARY -u PYTHONPATH LD_LIBRARY_PATH="$BUILD" TQRF_SIM="$SIM" \
    "$OUT/venv-source/bin/python" "$ROOT/tests/package/python_session.py" "$VERSION" "$BUILD")

echo "== .NET: the compiled assembly under Mono, with only libtq_RWD_DLL.so.1"
mkdir -p "$OUT/dotnet/lib"
cp "$BUILD"/dotnet/TqRwdDll.dll "$BUILD"/dotnet/TqRwdDll.dll.config "$OUT/dotnet/"
cp -L "$BUILD/libtq_RWD_DLL.so.1" "$OUT/dotnet/lib/"
mcs -warn:4 -warnaserror+ -r:"$OUT/dotnet/TqRwdDll.dll" -out:"$OUT/dotnet/ReaderTests.exe" \
    bindings/dotnet/tests/ReaderTests.cs
mcs -warn:4 -warnaserror+ -r:"$OUT/dotnet/TqRwdDll.dll" -out:"$OUT/dotnet/DotnetSession.exe" \
    tests/package/DotnetSession.cs
"$SIM" >"$OUT/dotnet/sim.out" 2>"$OUT/dotnet/sim.err" &
sim_pid=$!
trap 'kill "$sim_pid" 2>/dev/null || true' EXIT
for _ in $(seq 100); do
    [ -s "$OUT/dotnet/sim.out" ] && break
    sleep 0.1
done
"${clean[@]}" LD_LIBRARY_PATH="$OUT/dotnet/lib" timeout 120 \
    mono "$OUT/dotnet/DotnetSession.exe" "$VERSION" "$(head -n 1 "$OUT/dotnet/sim.out")"
kill "$sim_pid" 2>/dev/null || true
# TQRF_REPLY gives the legacy default reader the most reply slack, as the test's readers
# have, so that a simulator left unscheduled for a while on a loaded machine still answers.
LD_LIBRARY_PATH="$OUT/dotnet/lib" TQRF_REPLY=complete:1000 \
    timeout 600 mono "$OUT/dotnet/ReaderTests.exe" "$SIM"

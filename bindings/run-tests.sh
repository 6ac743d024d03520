#!/usr/bin/env bash
# Tests the bindings against the simulated reader with the shared library of a build:
#   1. installs the Python package offline into a fresh virtual environment and checks that
#      it is imported from there, type-checks it (mypy --strict) and runs its pytest suite;
#   2. compiles the .NET binding and its test with Mono's C# compiler and runs the test.
# usage: bindings/run-tests.sh BUILD_DIR   (a native build with libtq_RWD_DLL.so and
#        sim/tqrf-sim, for example build/ci-werror). Installs the Debian packages it needs.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -ne 1 ]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi
BUILD=$(realpath "$1")
LIB=$BUILD/libtq_RWD_DLL.so
SIM=$BUILD/sim/tqrf-sim
if [ ! -e "$LIB" ] || [ ! -x "$SIM" ]; then
    echo "$0: $BUILD has no libtq_RWD_DLL.so or sim/tqrf-sim: build it first" >&2
    exit 2
fi

scripts/install-deps.sh python3 python3-venv python3-pip python3-setuptools python3-pytest \
    mypy mono-mcs mono-runtime

# Debian's Python, whose setuptools and pytest were installed above (another python3 may come
# first on PATH).
PY=/usr/bin/python3
OUT=$BUILD/bindings
rm -rf "$OUT"
mkdir -p "$OUT"
export PYTHONDONTWRITEBYTECODE=1

echo "== Python: install into a fresh virtual environment, offline"
# From a copy: an in-tree build would leave build/ and *.egg-info in the source tree.
cp -r bindings/python "$OUT/src"
"$PY" -m venv --system-site-packages "$OUT/venv"
"$OUT/venv/bin/pip" install --quiet --no-index --no-build-isolation --no-deps \
    --disable-pip-version-check "$OUT/src"
where=$(cd "$OUT" && "$OUT/venv/bin/python" -c 'import tqrf; print(tqrf.__file__)')
case "$where" in
"$OUT/venv/"*) echo "tqrf installed at $where" ;;
*)
    echo "$0: tqrf was imported from $where, not from the virtual environment" >&2
    exit 1
    ;;
esac

echo "== Python: type check"
"$PY" -m mypy --strict --cache-dir "$OUT/mypy-cache" "$OUT/src/src/tqrf"

echo "== Python: tests"
(cd bindings/python &&
    TQRF_LIBRARY="$LIB" TQRF_SIM="$SIM" timeout 900 \
        "$OUT/venv/bin/python" -m pytest -p no:cacheprovider -q tests)

echo "== .NET: compile with mcs and run under Mono"
mcs -warn:4 -warnaserror+ -out:"$OUT/ReaderTests.exe" \
    bindings/dotnet/TqRwdDll.cs bindings/dotnet/tests/ReaderTests.cs
# TQRF_REPLY gives the legacy default reader the most reply slack, as the test's readers
# have, so that a simulator left unscheduled for a while on a loaded machine still answers.
LD_LIBRARY_PATH="$BUILD${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" TQRF_REPLY=complete:1000 \
    timeout 600 mono "$OUT/ReaderTests.exe" "$SIM"

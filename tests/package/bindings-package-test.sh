#!/usr/bin/env bash
# The bindings as the Debian packages install them, with the runtime package alone (not the
# development package, whose libtq_RWD_DLL.so link Mono would otherwise find):
#   - python3-tqrf: Debian's Python runs a session against tqrf-sim with the system's library;
#   - libtq-rwd-dll-cil: a Mono program built against the installed assembly, with the
#     assembly and its .config beside it, runs a session against tqrf-sim.
# No environment variable points at the library or the simulator.
#
#   tests/package/bindings-package-test.sh      # after dpkg -i of libtq-rwd-dll1, tqrf-tools,
#                                               # python3-tqrf and libtq-rwd-dll-cil
# Needs python3, mcs and mono. Exit status 0 only when all passed.
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
DOTNET=/usr/share/tq_RWD_DLL/dotnet
# shellcheck source=tests/package/common.sh
. "$HERE/common.sh"
clean=(env -u TQRF_LIBRARY -u TQRF_SIM -u LD_LIBRARY_PATH -u PYTHONPATH -u MONO_PATH)

for pkg in libtq-rwd-dll1 tqrf-tools python3-tqrf libtq-rwd-dll-cil; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" ||
        { echo "FAIL  $pkg is not installed" >&2; exit 1; }
done
if dpkg-query -W -f='${Status}' libtq-rwd-dll-dev 2>/dev/null | grep -q "install ok installed"; then
    echo "FAIL  libtq-rwd-dll-dev is installed: this test is for the runtime package alone" >&2
    exit 1
fi
libdir=$(dirname "$(dpkg -L libtq-rwd-dll1 | grep '/libtq_RWD_DLL\.so\.1$')")

echo "python3-tqrf with libtq-rwd-dll1 ($libdir)"
(cd "$work" && "${clean[@]}" /usr/bin/python3 "$HERE/python_session.py" "$VERSION" "$libdir")

echo "libtq-rwd-dll-cil with libtq-rwd-dll1 under Mono"
cp "$DOTNET/TqRwdDll.dll" "$DOTNET/TqRwdDll.dll.config" "$work/"
mcs -warn:4 -warnaserror+ -r:"$work/TqRwdDll.dll" -out:"$work/DotnetSession.exe" \
    "$HERE/DotnetSession.cs"
"${clean[@]}" /usr/bin/tqrf-sim >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
"${clean[@]}" timeout 120 mono "$work/DotnetSession.exe" "$VERSION" "$(first_line "$work/sim.out" 100)"
echo "bindings package test: passed"

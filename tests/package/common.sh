# Sourced by the package tests after they set HERE (their own folder): the project's version, a
# scratch folder `work`, and `sim_pid` for a simulator a test starts; on exit the simulator is
# stopped and the folder removed. `first_line` (scripts/first-line.sh) waits for its port.
VERSION=$(sed -n 's/^project(tq_RWD_DLL VERSION \([0-9.]*\).*/\1/p' "$HERE/../../CMakeLists.txt")
work=$(mktemp -d)
sim_pid=""
cleanup() {
    [ -z "$sim_pid" ] || kill "$sim_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
# shellcheck source=scripts/first-line.sh
. "$HERE/../../scripts/first-line.sh"

# shellcheck shell=bash
# A mosquitto of a script's own on a free local port; sourced by the scripts and benchmarks
# that run one (bash).
#
#   tqrf_scratch NAME          $work: a new folder /tmp/NAME.XXXXXX; on exit every process
#                              in $pids is killed and the folder removed.
#   tqrf_broker [SETTING...]   mosquitto on a free local port ($port; $broker its process id,
#                              in $pids) with each SETTING as a line of its configuration after
#                              the listener; its configuration and log in $work. Returns once
#                              it takes connections (or after 5 s).

# shellcheck disable=SC2034  # work, pids, port and broker are the caller's.
tqrf_scratch() {
    work=$(mktemp -d "/tmp/$1.XXXXXX")
    pids=()
    trap tqrf_cleanup EXIT
}

tqrf_cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}

# shellcheck disable=SC2034,SC2120  # the settings are optional
tqrf_broker() {
    port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    {
        printf 'listener %s 127.0.0.1\nallow_anonymous true\n' "$port"
        [ $# -eq 0 ] || printf '%s\n' "$@"
        # Run as root, mosquitto would become the user "mosquitto".
        [ "$(id -u)" -ne 0 ] || echo "user root"
    } >"$work/mosquitto.conf"
    mosquitto -c "$work/mosquitto.conf" >"$work/mosquitto.log" 2>&1 &
    broker=$!
    pids+=("$broker")
    for _ in $(seq 50); do mosquitto_pub -p "$port" -t probe -m x 2>/dev/null && break; sleep 0.1; done
}

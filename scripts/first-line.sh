# shellcheck shell=bash
# Sourced by the scripts and tests that start a simulator in the background: it prints the
# port on its first line once it is ready.

# first_line FILE TRIES: waits up to TRIES tenths of a second for FILE to have something in
# it, then prints its first line (nothing if it is still empty).
first_line() {
    for _ in $(seq "$2"); do
        [ -s "$1" ] && break
        sleep 0.1
    done
    head -n 1 "$1"
}

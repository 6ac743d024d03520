#!/usr/bin/env bash
# Builds the reader benchmark and the simulator, runs the benchmark against paced simulated
# readers and writes the figures, a plot and the machine they were measured on into
# docs/performance.md and docs/performance.png. Takes about seven minutes; --quick runs every
# figure a few times only (a smoke run: its figures are not worth publishing).
#
#   bench/run.sh [--quick] [--no-docs] [--before COMMIT]
#
# --no-docs leaves docs/ alone and prints the page on standard output instead.
# --before COMMIT builds that commit's library and simulator in a worktree of its own
# (/tmp/tqrf-bench-before) with this benchmark program, and measures its complete-mode read
# against the minimal exchange in the same run, alternating with this tree's: the page then
# shows both, before and after.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=${TQRF_BENCH_BUILD:-build/bench}

quick=()
write_docs=1
before=""
for arg in "$@"; do
    case "$arg" in
        --quick) quick=(--quick) ;;
        --no-docs) write_docs=0 ;;
        --before) before_next=1 ;;
        -h|--help) sed -n '2,9p' "$0"; exit 0 ;;
        *)
            if [ "${before_next:-0}" -eq 1 ]; then before=$arg; before_next=0; continue; fi
            echo "bench/run.sh: unknown option $arg" >&2; exit 2 ;;
    esac
done

scripts/install-deps.sh gnuplot-nox libbenchmark-dev

cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DTQRF_BUILD_BENCH=ON >/dev/null
cmake --build "$BUILD" -j2 --target tqrf_reader_bench tqrf-sim link_bench

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
out="$BUILD/results"
mkdir -p "$out"
"$BUILD/bench/tqrf_reader_bench" --sim "$BUILD/sim/tqrf-sim" "${quick[@]}" \
    --data "$out/figures.tsv" >"$out/tables.md"
if [ -n "$before" ]; then
    # The earlier commit, with this benchmark program: the same measurement of both libraries.
    BEFORE_TREE=${TQRF_BENCH_BEFORE_TREE:-/tmp/tqrf-bench-before}
    [ -d "$BEFORE_TREE" ] || git worktree add --detach "$BEFORE_TREE" "$before" >/dev/null
    git -C "$BEFORE_TREE" checkout -q --detach "$before"
    cp bench/reader_bench.cpp "$BEFORE_TREE/bench/reader_bench.cpp"
    cmake -S "$BEFORE_TREE" -B "$BEFORE_TREE/build/bench" -DCMAKE_BUILD_TYPE=Release \
        -DTQRF_BUILD_BENCH=ON >/dev/null
    cmake --build "$BEFORE_TREE/build/bench" -j2 --target tqrf_reader_bench tqrf-sim
    before_commit=$(git rev-parse --short "$before")
    calls=200
    [ "${#quick[@]}" -gt 0 ] && calls=20
    : >"$out/before.md"
    : >"$out/after.md"
    for round in 1 2; do
        "$BEFORE_TREE/build/bench/bench/tqrf_reader_bench" --sim "$BEFORE_TREE/build/bench/sim/tqrf-sim" \
            --compare --calls $((calls / 2)) >>"$out/before.md"
        "$BUILD/bench/tqrf_reader_bench" --sim "$BUILD/sim/tqrf-sim" --compare \
            --calls $((calls / 2)) >>"$out/after.md"
        echo "before and after, round $round of 2 done" >&2
    done
fi
"$BUILD/bench/link_bench" --benchmark_min_time=0.2 --benchmark_format=console \
    --benchmark_counters_tabular=true >"$out/micro.txt" 2>/dev/null

# The plot: median time per command of each configuration, next to the line floors.
cat >"$out/plot.gp" <<EOF
set terminal pngcairo size 1100,560 font "sans,10" noenhanced
set output "$out/performance.png"
set datafile separator "\t"
set datafile columnheaders
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set key outside right top
set ylabel "milliseconds per command (median)"
set yrange [0:*]
set grid ytics
set title "tq_RWD_DLL against the paced simulated reader: time per command"
plot "$out/figures.tsv" using 2:xtic(1) title "line floor, instant" lc rgb "#bbbbbb", \
     "" using 3 title "line floor, mf1k" lc rgb "#888888", \
     "" using 4 title "complete mode, instant" lc rgb "#2b83ba", \
     "" using 5 title "complete mode, mf1k" lc rgb "#abdda4", \
     "" using 6 title "fixed mode, instant" lc rgb "#d7191c", \
     "" using 7 title "fixed mode, mf1k" lc rgb "#fdae61"
EOF
gnuplot "$out/plot.gp"

cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
cores=$(nproc)
kernel=$(uname -srm)
virt=$(systemd-detect-virt 2>/dev/null || true)
compiler=$(c++ --version | head -n 1)
commit=$(git rev-parse --short HEAD 2>/dev/null || echo unknown)
dirty=$(git status --porcelain --untracked-files=no 2>/dev/null | grep -q . && echo " (with local changes)" || true)
when=$(date -u +"%Y-%m-%d %H:%M UTC")

run_kind="full run"
[ "${#quick[@]}" -gt 0 ] && run_kind="quick run (few samples: not representative)"

page="$out/performance.md"
{
    cat <<'EOF'
# Performance

What a command costs against a reader on a 19200-baud line, measured with the library's
handle API (`tqrf_reader_*`) against the simulated reader `tqrf-sim` on pseudo-terminals.
The page is written by `bench/run.sh` (about six minutes); run it again to measure your own
machine. `bench/run.sh --quick --no-docs` is a smoke run of every figure in well under a minute,
printed instead of written here.

## How it is measured

- **The line.** Every simulator runs with `--pace --latency 0`: a request's bytes take their
  wire time (11 bits a byte at 19200 baud, 0.573 ms) before the reader starts on it, and the
  reply goes out a byte at a time at the same rate (see `sim/README.md`, Timing). The
  simulators run at nice -10 where that is permitted: a reader is a device of its own, which
  other work on the host does not slow down.
- **Profiles.** `instant`: the reader takes no time of its own, so only the line counts.
  `mf1k`: the reader takes what an MF RC500 reader with a Mifare Classic 1K card takes
  (radio frames, the card's EEPROM programming, the reader's own work; table in
  `sim/README.md`).
- **Reply modes.** `complete` (`TQRF_REPLY_COMPLETE`, the handles' default): the call returns
  as soon as the reply frame is complete. `fixed` (`TQRF_REPLY_FIXED`): the legacy 40 ms pause,
  then one read.
- **Line floor.** The least time the line allows for a figure. Complete mode: the 1 ms pause
  after the address byte (the address byte itself crosses the line during it), the request
  frame and the reply frame at 0.573 ms a byte, and for `mf1k` the reader's working time in
  between. Fixed mode: 1 ms + 40 ms, which the frame and the reply fall inside. Sequences add
  up the floors of their commands. The byte counts come from the library's trace hook, taken
  once per command before the measurement.
- **Figures.** Single commands: read (block 4), write (block 5), authenticate (sector 1),
  request (REQA), each called 200 times after 3 untimed calls, min / median / p95. Tap to data:
  request, anticollision, select, load key, authenticate, read (50 runs). 1K dump: 16 times load
  key, authenticate, 4 reads: 96 commands (3 runs). Parallel: 1, 2 and 4 readers, each on a
  simulator process of its own and a thread of its own, reading a block 100 times each; the
  aggregate reads per second over the wall time of the whole run.
- **CPU and heap.** CPU is the calling thread's CPU time (`CLOCK_THREAD_CPUTIME_ID`) during the
  call: the library's own work and the kernel's work for its system calls, not the time spent
  asleep. Every sleep and wake-up costs CPU of its own, and in a virtual machine a lot of it, so
  the run also counts the wake-ups per command (the thread's voluntary context switches) and
  measures what one costs on the machine: a timed sleep, and a `poll()` that bytes from another
  thread end. Heap calls are counted by replacing `malloc` and its relatives in the benchmark
  program, on the calling thread only.
- **USB adapters.** The mf1k figures of a read and a 1K dump once more with an FTDI chip
  between reader and host (`tqrf-sim --adapter ftdi:16` and `ftdi:1`): the chip holds the
  reply's bytes until 62 wait or its latency timer fires, and the timer runs freely, so a reply
  reaches the host up to a whole period after its last byte crossed the line. Their floor
  columns give the line's floor and the floor with the whole timer added to each reply.
- **Against a minimal exchange.** A block read in complete mode, once through the handle API
  and once as the least a program can do with raw system calls on the same simulated reader
  (one purge, the mark switch, the address byte, 1 ms, the space switch, the frame, a wait for
  the first reply byte, one sleep for the line time of the rest, one read), directly and behind
  the FTDI adapter at 16 ms and 1 ms. CPU here is user + system time from
  `getrusage(RUSAGE_THREAD)`, wake-ups its voluntary context switches; the ratio of the two
  CPU figures is the library's overhead. `--before COMMIT` runs the same comparison on an
  earlier commit's library in the same run (built with this benchmark program), alternating.
- **The retry layer.** `TQRF_OPTION_ATTEMPTS` at 1 and at 3 on one reader, complete mode,
  `instant` and `mf1k`, in 4 alternating rounds of 50 reads and 2 whole-card dumps each, so
  that both settings meet the same machine: each median against its floor, and the 3-attempt
  median against the 1-attempt one. Then 20 whole-card dumps (the 96 commands of the 1K dump)
  with 3 attempts on an `mf1k` reader that loses 2 % of its replies
  (`tqrf-sim --fault noreply%2 --seed 7`), beside 20 on a clean one. The retries are the
  reader's own count (`tqrf_reader_get_stats`). `tqrf_reader_bench --sim PATH --retry` runs
  this part alone.
- **Failures.** A run whose command failed (a reply late or lost on a busy machine) is counted
  in the Failed column, with the first result code, and left out of the times.
- Timings here are never test assertions: the test suite checks behaviour on a virtual clock.

EOF
    echo "## Machine"
    echo
    echo "| | |"
    echo "|---|---|"
    echo "| CPU | ${cpu:-unknown} (${cores} cores available) |"
    echo "| Kernel | ${kernel}${virt:+ (virtualisation: ${virt})} |"
    echo "| Compiler | ${compiler} |"
    echo "| Library | commit ${commit}${dirty}, Release build |"
    echo "| Measured | ${when}, ${run_kind} |"
    echo "| Load average before the run | ${load_before} (1, 5, 15 minutes; other work on the machine slows the figures) |"
    echo
    if awk -v l="${load_before%% *}" -v c="$cores" 'BEGIN { exit !(l > c) }'; then
        echo "The machine was busy during this run (load ${load_before%% *} on ${cores} cores): the"
        echo "figures are noisy, medians and above all p95 and the worst cases are higher than on a"
        echo "quiet machine, and a busy host can miss a fixed-mode reply (Failed). Run"
        echo '`bench/run.sh` on a quiet machine for figures to compare.'
        echo
    fi
    echo "## Results"
    echo
    echo "![Median time per command](performance.png)"
    echo
    cat "$out/tables.md"
    echo
    if [ -n "$before" ]; then
        echo "## Before and after: lean exchanges"
        echo
        echo "The complete-mode read of commit ${before_commit} (before) and of this tree (after),"
        echo "each beside the minimal exchange on the same simulated reader, measured in one run in"
        echo "two rounds that alternate the two libraries (same benchmark program, built against"
        echo "each). Each round's table follows."
        echo
        echo "### Before (${before_commit})"
        grep -v '^### Against' "$out/before.md" | grep -v '^A block read in complete mode' || true
        echo
        echo "### After"
        grep -v '^### Against' "$out/after.md" | grep -v '^A block read in complete mode' || true
        echo
    fi
    # The gateway's figures come from bench/gateway/run.sh, not from this run: kept as they are.
    if [ -f docs/performance.md ]; then
        awk '/^## / { keep = ($0 == "## The gateway on MQTT") } keep' docs/performance.md
    fi
    echo "## Micro-benchmarks"
    echo
    echo "The library's own work without a line: frame and hex codecs, and a whole read command on"
    echo "the recording serial double, whose virtual clock makes the pauses free (Google Benchmark,"
    echo '`link_bench`).'
    echo
    echo '```'
    grep -E '^(BM_|Benchmark|-{5})' "$out/micro.txt" || true
    echo '```'
} >"$page"

if [ "$write_docs" -eq 1 ]; then
    # Atomically: a temporary file in the same folder, then a rename.
    tmp_png=$(mktemp docs/.performance.png.XXXXXX)
    tmp_md=$(mktemp docs/.performance.md.XXXXXX)
    cp "$out/performance.png" "$tmp_png"
    cp "$page" "$tmp_md"
    chmod 644 "$tmp_png" "$tmp_md"
    mv -f "$tmp_png" docs/performance.png
    mv -f "$tmp_md" docs/performance.md
    echo "wrote docs/performance.md and docs/performance.png" >&2
else
    cat "$page"
fi

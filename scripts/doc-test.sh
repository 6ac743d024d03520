#!/usr/bin/env bash
# Runs the shell blocks of README.md, docs/python.md, docs/dotnet.md and docs/windows.md that a
# reader copies, as written, and fails on the first that does not run. A block takes part when
# its fence is marked:
#
#   ```sh runnable            run by this script
#   ```sh runnable-wine       run by this script with --wine (the Wine stage)
#   ```python example         a complete program: after the runnable blocks, run twice in a
#   ```csharp example         row against one simulated reader (the second run meets the
#                             card as the first left it: halted, its purse topped up)
#
# Other blocks (a real reader's port, a Windows command prompt) are prose and stay unmarked.
# The blocks run one after another, in the order of the files above, each in its own bash with
# `set -eo pipefail`, in a copy of the source tree (build/doc-test/tree: what a reader has
# after unpacking the sources, without build outputs or .git), with HOME in
# build/doc-test/home, so that ~/venv/... and a Wine prefix made by a block stay there. As
# root without sudo, `sudo` runs the command itself (as the docs say to do as root). Builds
# use ccache when it is installed (through CMake's launcher variables), which changes nothing
# in what they make.
#
#   scripts/doc-test.sh           # the runnable blocks
#   scripts/doc-test.sh --wine    # the runnable-wine blocks (after the others have run)
#   scripts/doc-test.sh --list    # show the blocks without running them
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
# shellcheck source=scripts/first-line.sh
. "$ROOT/scripts/first-line.sh"
DOCS=(README.md docs/python.md docs/dotnet.md docs/windows.md)

mode=runnable
case "${1:-}" in
"") ;;
--wine) mode=runnable-wine ;;
--list) mode=list ;;
*)
    echo "usage: $0 [--wine|--list]" >&2
    exit 2
    ;;
esac

WORK=$ROOT/build/doc-test
BLOCKS=$WORK/blocks
EXAMPLES=$WORK/examples
rm -rf "$BLOCKS" "$EXAMPLES"
mkdir -p "$BLOCKS" "$EXAMPLES"

# Each marked block into BLOCKS/NNN.sh, with a first comment line naming where it comes from.
# (An indented block, in a list, loses the indentation of its fence.)
awk -v out="$BLOCKS" -v examples="$EXAMPLES" -v want="$mode" '
    FNR == 1 { inblock = 0 }
    /^[ \t]*```/ {
        if (inblock) {
            if (marked) close(file)
            inblock = 0
            next
        }
        inblock = 1
        marked = 0
        indent = $0
        sub(/```.*/, "", indent)
        info = $0
        sub(/^[ \t]*```/, "", info)
        n = split(info, word, /[ \t]+/)
        kind = ""
        for (i = 2; i <= n; i++) if (word[i] == "runnable" || word[i] == "runnable-wine") kind = word[i]
        if (word[1] == "sh" && kind != "" && (want == "list" || kind == want)) {
            marked = 1
            count++
            file = sprintf("%s/%03d.sh", out, count)
            printf "# %s:%d (%s)\n", FILENAME, FNR, kind > file
        } else if (n >= 2 && word[2] == "example" && (word[1] == "python" || word[1] == "csharp")) {
            marked = 1
            examples_count++
            file = sprintf("%s/%03d.%s", examples, examples_count, word[1] == "python" ? "py" : "cs")
            where = sprintf("%s:%d", FILENAME, FNR)
            print where > (file ".where")
            close(file ".where")
        }
        next
    }
    inblock && marked {
        line = $0
        if (substr(line, 1, length(indent)) == indent) line = substr(line, length(indent) + 1)
        print line > file
    }
' "${DOCS[@]}"

blocks=("$BLOCKS"/*.sh)
[ -e "${blocks[0]}" ] || { echo "doc-test: no block marked $mode in ${DOCS[*]}" >&2; exit 1; }
if [ "$mode" = list ]; then
    for b in "${blocks[@]}"; do
        cat "$b"
        echo
    done
    exit 0
fi

if [ "$mode" = runnable-wine ] && [ ! -x "$WORK/tree/build/sim/tqrf-sim" ]; then
    echo "doc-test: the Wine blocks use the builds of the other blocks: run $0 first" >&2
    exit 2
fi

# The reader's copy of the sources, refreshed from this tree; the builds the blocks made in
# it before are kept (a block that builds again only rebuilds what changed).
TREE=$WORK/tree
STAGE=$WORK/stage
mkdir -p "$TREE" "$WORK/home" "$WORK/bin"
rm -rf "$STAGE"
mkdir -p "$STAGE"
tar -C "$ROOT" --exclude=./.git --exclude='./build*' --exclude=./out -cf - . | tar -C "$STAGE" -xf -
# Only what changed is copied, with the time of the copy: a source older than an object file
# built from its earlier content must still count as new to the builds in the tree.
(cd "$STAGE" && find . -type f) | while IFS= read -r f; do
    if ! cmp -s "$STAGE/$f" "$TREE/$f"; then
        mkdir -p "$(dirname "$TREE/$f")"
        rm -f "$TREE/$f"
        cp "$STAGE/$f" "$TREE/$f"
    fi
done
# What the sources no longer have goes from the copy too (the builds' folders stay).
(cd "$TREE" && find . -path './build*' -prune -o -path ./bindings/python/build -prune -o \
    -path '*.egg-info' -prune -o -type f -print) | while IFS= read -r f; do
    [ -e "$STAGE/$f" ] || rm -f "$TREE/$f"
done
rm -rf "$STAGE"
if [ "$(id -u)" -eq 0 ] && ! command -v sudo >/dev/null 2>&1; then
    printf '#!/bin/sh\n# as root: the command itself\nexec "$@"\n' >"$WORK/bin/sudo"
    chmod +x "$WORK/bin/sudo"
fi
export PATH="$WORK/bin:$PATH"
export HOME=$WORK/home
if command -v ccache >/dev/null 2>&1; then
    export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_BASEDIR=$WORK/tree
fi

n=0
for b in "${blocks[@]}"; do
    n=$((n + 1))
    where=$(head -n 1 "$b" | sed 's/^# //')
    printf '\n==== doc block %d/%d: %s ====\n' "$n" "${#blocks[@]}" "$where"
    tail -n +2 "$b" | sed 's/^/    /'
    echo "----"
    if ! (cd "$TREE" && bash -eo pipefail "$b" </dev/null); then
        echo "doc-test: the block at $where does not run as written (above)" >&2
        exit 1
    fi
done

# Each complete example, twice in a row against one simulated reader, with the builds the
# blocks above made: Python with the wheel's virtual environment, C# compiled by Mono's mcs
# against the assembly.
examples=0
if [ "$mode" = runnable ]; then
    for ex in "$EXAMPLES"/*.py "$EXAMPLES"/*.cs; do
        [ -e "$ex" ] || continue
        examples=$((examples + 1))
        where=$(cat "$ex.where")
        run=$WORK/example-run
        rm -rf "$run"
        mkdir -p "$run"
        case $ex in
        *.py) cmd=("$HOME/venv/tqrf/bin/python" "$ex") ;;
        *.cs)
            cp "$TREE"/build/dotnet/TqRwdDll.dll "$TREE"/build/dotnet/TqRwdDll.dll.config "$run/"
            mcs -r:"$run/TqRwdDll.dll" -out:"$run/example.exe" "$ex"
            cmd=(env LD_LIBRARY_PATH="$TREE/build" mono "$run/example.exe")
            ;;
        esac
        "$TREE/build/sim/tqrf-sim" >"$run/sim.out" 2>"$run/sim.err" &
        sim_pid=$!
        port=$(first_line "$run/sim.out" 100)
        for time in 1 2; do
            printf '\n==== example %s, run %d against %s ====\n' "$where" "$time" "$port"
            if ! (cd "$run" && "${cmd[@]}" "$port" </dev/null); then
                kill "$sim_pid" 2>/dev/null || true
                echo "doc-test: the example at $where fails on run $time against one simulator" >&2
                exit 1
            fi
        done
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    done
fi
echo
echo "doc-test: ${#blocks[@]} blocks ran as written; $examples complete examples ran twice"

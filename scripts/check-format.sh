#!/usr/bin/env bash
# Checks that every C and C++ source of the project is clang-format clean (the repository's
# .clang-format). Lists the files itself, so it needs no git: build directories are skipped.
set -euo pipefail
cd "$(dirname "$0")/.."
find . \( -path ./.git -o -path './build' -o -path './build-*' -o -path ./out \) -prune -o \
    -type f \( -name '*.c' -o -name '*.cpp' -o -name '*.h' -o -name '*.hpp' \) -print0 |
    sort -z | xargs -0 clang-format --dry-run --Werror
echo "formatting: $(find . \( -path ./.git -o -path './build' -o -path './build-*' -o -path ./out \) -prune -o \
    -type f \( -name '*.c' -o -name '*.cpp' -o -name '*.h' -o -name '*.hpp' \) -print | wc -l) files clean"

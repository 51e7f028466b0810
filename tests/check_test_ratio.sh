#!/usr/bin/env bash
# Keeps the tests compact as the code grows: the non-blank lines of the tracked
# C/C++/CUDA/shell/Python files under tests/ must stay between a quarter and
# 0.40 of those of the rest. Skipped (77) outside a git checkout.
set -euo pipefail
cd "$(dirname "$0")/.."
git rev-parse --is-inside-work-tree >/dev/null 2>&1 || { echo "not a git checkout; skipped"; exit 77; }
git ls-files -z '*.cpp' '*.h' '*.cu' '*.cuh' '*.c' '*.sh' '*.py' | xargs -0 grep -cv '^\s*$' |
    awk -F: '{ if ($1 ~ /^tests\//) t += $2; else c += $2 }
             END { r = t / c; printf "tests %d, code %d, ratio %.3f\n", t, c, r; exit (r >= 0.25 && r <= 0.40) ? 0 : 1 }'

#!/usr/bin/env bash
# The matrix builds' rate and their share of a 512 x 512 x 61 run at thickness
# 512: bench_setup's set-up of WBP level 2 and of SIRT (as a run meets it, fresh
# buffers) and the level-2 build alone, with the entries stored per second of
# processor time against the copy bandwidth's floor; then the end-to-end wall
# time of those runs (median of ROUNDS) and the set-up's share of it. SIRT runs
# ITERATIONS iterations (30, the default, takes minutes on two cores).
#   bench/matrix_build.sh [BUILD_DIR] [ROUNDS] [ITERATIONS]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build} rounds=${2:-3} iterations=${3:-30}
d=$(mktemp -d /tmp/skarbel_matrix_XXXXXX)
trap 'rm -rf "$d"' EXIT
"$build/bench/bench_setup" --benchmark_filter='BM_Setup/(2|4)/|BM_MatrixBuild/2/' --benchmark_format=csv \
    2>/dev/null >"$d/setup.csv"
# Columns by name: the counters follow the fixed ones in the order of the header line.
field() { awk -F, -v b="$1" -v c="$2" 'NR == 1 { for (i = 1; i <= NF; ++i) { gsub(/"/, "", $i); k[$i] = i }; next }
    index($1, "\"" b "/") { print $(k[c]) }' "$d/setup.csv"; }
for b in BM_Setup/2 BM_MatrixBuild/2 BM_Setup/4; do
    printf "%-17s wall %7.1f ms  user %7.1f ms  sys %6.1f ms  %6.1f M entries  %6.1f M/s per thread (floor %6.1f M/s, copy %.1f GB/s)\n" \
        "$b" "$(field "$b" real_time)" "$(field "$b" user_ms)" "$(field "$b" sys_ms)" "$(field "$b" Mentries)" \
        "$(field "$b" Mentries_per_thread_s)" "$(field "$b" bw_Mentries_per_thread_s)" "$(field "$b" copy_GBps)"
done
"$build/tools/skarbel_phantom" -x 512 -y 512 -z 512 -t 61 -r 60 "$d/p" >/dev/null
rm -f "$d/p_truth.mrc"
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }
wall() { for _ in $(seq "$rounds"); do rm -f "$d/o.mrc"; sync
    /usr/bin/time -f "%e" "$build/skarbel" "$@" "$d/p.tlt" "$d/p.mrc" "$d/o.mrc" 2>&1 >/dev/null | tail -1; done | median; }
for c in "level2|BM_Setup/2|-s2" "sirt$iterations|BM_Setup/4|-S -i$iterations"; do
    name=${c%%|*} rest=${c#*|}; b=${rest%%|*} args=${rest#*|}
    # shellcheck disable=SC2086
    t=$(wall $args) s=$(field "$b" real_time)
    awk -v n="$name" -v t="$t" -v s="$s" 'BEGIN {
        printf "%-7s end to end %.2f s, set-up %.3f s: %.1f %% of the run\n", n, t, s / 1e3, 100 * s / 1e3 / t }'
done

#!/usr/bin/env bash
# Scaling with threads: at 1, 2, 4 ... threads up to the machine's cores
# (OMP_NUM_THREADS), the end-to-end wall time of WBP level 2 on a
# 512 x 512 x 61 phantom stack at thickness 512 (median of ROUNDS) and the
# products' time per slice (bench_batch, level 2, 16 slices a batch), with the
# parallel efficiency t(1) / (n t(n)) of each.
#   bench/scaling.sh [BUILD_DIR] [ROUNDS]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build} rounds=${2:-3}
d=$(mktemp -d /tmp/skarbel_scaling_XXXXXX)
trap 'rm -rf "$d"' EXIT
"$build/tools/skarbel_phantom" -x 512 -y 512 -z 512 -t 61 -r 60 "$d/p" >/dev/null
rm -f "$d/p_truth.mrc"
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }
end_to_end() { for _ in $(seq "$rounds"); do rm -f "$d/o.mrc"; sync
    /usr/bin/time -f "%e" "$build/skarbel" -s2 "$d/p.tlt" "$d/p.mrc" "$d/o.mrc" 2>&1 >/dev/null | tail -1; done | median; }
products() {
    "$build/bench/bench_batch" --benchmark_filter='BM_Product/2/16/' --benchmark_format=csv 2>/dev/null |
        awk -F, 'NR == 1 { for (i = 1; i <= NF; ++i) { gsub(/"/, "", $i); k[$i] = i }; next } { print $(k["per_slice_ms"]) }'
}
cores=$(nproc)
echo "threads  end to end (s)  efficiency  products per slice (ms)  efficiency"
n=1
while [ "$n" -le "$cores" ]; do
    e=$(OMP_NUM_THREADS=$n end_to_end) p=$(OMP_NUM_THREADS=$n products)
    [ "$n" -eq 1 ] && e1=$e p1=$p
    awk -v n="$n" -v e="$e" -v p="$p" -v e1="$e1" -v p1="$p1" 'BEGIN {
        printf "%7d  %14.2f  %10.2f  %23.3f  %10.2f\n", n, e, e1 / (n * e), p, p1 / (n * p) }'
    n=$((n * 2))
done

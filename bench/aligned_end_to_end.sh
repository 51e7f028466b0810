#!/usr/bin/env bash
# End-to-end wall seconds of skarbel on the 512 x 512 x 61 phantom stack at
# thickness 512 (WBP level 2 unless other options are given): a plain run,
# --xaxis-tilt=2 and --bin=2 (thickness 512 in stack pixels, so 256 binned),
# run alternately, each output deleted before its run; prints each round and
# the ratios of the medians to the plain run.
#   bench/aligned_end_to_end.sh [SKARBEL] [ROUNDS] [extra options...]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bin=${1:-$root/build/skarbel} rounds=${2:-5}
shift $(( $# > 2 ? 2 : $# ))
d=$(mktemp -d /tmp/skarbel_aligned_XXXXXX)
trap 'rm -rf "$d"' EXIT
"$root/build/tools/skarbel_phantom" -x 512 -y 512 -z 512 -t 61 -r 60 "$d/p" >/dev/null
rm -f "$d/p_truth.mrc"
run() { rm -f "$d/o.mrc"; sync; /usr/bin/time -f "%e" "$bin" "$@" -z512 "$d/p.tlt" "$d/p.mrc" "$d/o.mrc" 2>&1 >/dev/null | tail -1; }
declare -a plain tilt binned
for r in $(seq "$rounds"); do
    p=$(run "$@"); x=$(run "$@" --xaxis-tilt=2); b=$(run "$@" --bin=2)
    plain+=("$p"); tilt+=("$x"); binned+=("$b")
    echo "round $r: plain $p s | --xaxis-tilt=2 $x s | --bin=2 $b s"
done
median() { printf '%s\n' "$@" | sort -g | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
mp=$(median "${plain[@]}") mx=$(median "${tilt[@]}") mb=$(median "${binned[@]}")
echo "medians: plain $mp s, --xaxis-tilt=2 $mx s ($(awk "BEGIN{printf \"%.2f\", $mx/$mp}")x), --bin=2 $mb s ($(awk "BEGIN{printf \"%.2f\", $mb/$mp}")x)"

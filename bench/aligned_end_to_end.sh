#!/usr/bin/env bash
# End-to-end wall seconds of skarbel on the 512 x 512 x 61 phantom stack at
# thickness 512 (WBP level 2 unless other options are given): a plain run,
# --xaxis-tilt=2 and --bin=2 (thickness 512 in stack pixels, so 256 binned),
# run alternately, each output deleted before its run; prints each round (wall
# and CPU seconds, user + system) and the ratios of the medians to the plain run.
#   bench/aligned_end_to_end.sh [SKARBEL] [ROUNDS] [extra options...]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bin=${1:-$root/build/skarbel} rounds=${2:-5}
shift $(( $# > 2 ? 2 : $# ))
d=$(mktemp -d /tmp/skarbel_aligned_XXXXXX)
trap 'rm -rf "$d"' EXIT
"$root/build/tools/skarbel_phantom" -x 512 -y 512 -z 512 -t 61 -r 60 "$d/p" >/dev/null
rm -f "$d/p_truth.mrc"
# "wall cpu" seconds of one run
run() {
    rm -f "$d/o.mrc"; sync
    /usr/bin/time -f "%e %U %S" "$bin" "$@" -z512 "$d/p.tlt" "$d/p.mrc" "$d/o.mrc" 2>&1 >/dev/null | tail -1 |
        awk '{printf "%.2f %.2f\n", $1, $2 + $3}'
}
declare -a pw pc xw xc bw bc
for r in $(seq "$rounds"); do
    read -r a b < <(run "$@"); pw+=("$a"); pc+=("$b")
    read -r c e < <(run "$@" --xaxis-tilt=2); xw+=("$c"); xc+=("$e")
    read -r f g < <(run "$@" --bin=2); bw+=("$f"); bc+=("$g")
    echo "round $r (wall/cpu s): plain $a/$b | --xaxis-tilt=2 $c/$e | --bin=2 $f/$g"
done
median() { printf '%s\n' "$@" | sort -g | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
ratio() { awk "BEGIN{printf \"%.2f\", $1/$2}"; }
for kind in wall cpu; do
    if [ $kind = wall ]; then p=$(median "${pw[@]}") x=$(median "${xw[@]}") b=$(median "${bw[@]}")
    else p=$(median "${pc[@]}") x=$(median "${xc[@]}") b=$(median "${bc[@]}"); fi
    echo "median $kind: plain $p s, --xaxis-tilt=2 $x s ($(ratio "$x" "$p")x), --bin=2 $b s ($(ratio "$b" "$p")x)"
done

#!/usr/bin/env bash
# --position on a 1024 x 1024 x 61 stack of a textured slab 200 pixels thick
# (pitched 3 degrees about Y and 2 about X, 100 pixels off centre), search
# range -z1200, preview bin 4: the time to find the position (--position-only)
# against the time of the final run with the options it prints, alternated in
# every round (the round's first run alternates too), and the bytes of the
# positioned volume against those of the whole search range. The final
# volume goes to a file, deleted before each run.
#   bench/position.sh [SKARBEL] [ROUNDS]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
skarbel=${1:-$root/build/skarbel} rounds=${2:-3}
d=$(mktemp -d /tmp/skarbel_position_XXXXXX)
trap 'rm -rf "$d"' EXIT
"$root/build/tools/skarbel_phantom" -x 1024 -y 1024 -z 1 -t 61 -r 60 -d 8 -p 3,2,-100,200 "$d/p" >/dev/null
rm -f "$d/p_truth.mrc"
in=("$d/p.tlt" "$d/p.mrc")
find_position() { /usr/bin/time -f "%e" "$skarbel" --position=4 --position-only -z1200 "${in[@]}" "$d/o.mrc" 2>&1 >"$d/found" | tail -1; }
final_run() { rm -f "$d/o.mrc"; sync; /usr/bin/time -f "%e" "$skarbel" $(tail -1 "$d/found") "${in[@]}" "$d/o.mrc" 2>&1 >/dev/null | tail -1; }
find_position >/dev/null
head -2 "$d/found"
finds=() finals=()
for r in $(seq "$rounds"); do
    if ((r % 2)); then f=$(find_position) g=$(final_run); else g=$(final_run) f=$(find_position); fi
    finds+=("$f") finals+=("$g")
    echo "round $r: find $f s, final run $g s, ratio $(awk -v a="$f" -v b="$g" 'BEGIN{printf "%.3f", a / b}')"
done
median() { printf '%s\n' "$@" | sort -g | awk '{v[NR]=$1} END{print (NR % 2) ? v[(NR+1)/2] : (v[NR/2] + v[NR/2+1]) / 2}'; }
echo "median: find $(median "${finds[@]}") s, final run $(median "${finals[@]}") s"
t=$(tail -1 "$d/found" | sed 's/.*-z//')
awk -v t="$t" 'BEGIN{p = 1024 + 4.0 * 1024 * t * 1024; w = 1024 + 4.0 * 1024 * 1200 * 1024;
    printf "bytes: positioned %.0f (thickness %d), whole range %.0f, ratio %.3f\n", p, t, w, p / w}'
echo "positioned file: $(stat -c %s "$d/o.mrc") bytes"

#!/usr/bin/env bash
# Median end-to-end wall and CPU (user + system) seconds of two skarbel
# binaries run alternately (each round starts with the other one), and the
# ratios new / old: WBP level 2 and level 3 (tilt-symmetric angles) on a
# 512 x 512 x 61 phantom stack at thickness 512, and SIRT with 30 iterations
# on 512 x 64 x 61 at thickness 256. Every output is deleted, and the page
# cache flushed, before its run; the two outputs of each case must be
# identical.
#   bench/median_ratios.sh OLD_SKARBEL NEW_SKARBEL [ROUNDS]
set -euo pipefail
old=$1 new=$2 rounds=${3:-5}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
d=$(mktemp -d /tmp/skarbel_ratios_XXXXXX)
trap 'rm -rf "$d"' EXIT
phantom=${SKARBEL_PHANTOM:-$root/build/tools/skarbel_phantom}
"$phantom" -x 512 -y 512 -z 512 -t 61 -r 60 "$d/p" >/dev/null
"$phantom" -x 512 -y 64 -z 256 -t 61 -r 60 "$d/q" >/dev/null
rm -f "$d"/*_truth.mrc
{ echo -60; seq -59 2 59; } >"$d/b.tlt"
run() { rm -f "${@: -1}"; sync; /usr/bin/time -f "%e %U %S" "$@" 2>&1 >/dev/null | tail -1; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }
for c in "level2|-s2 $d/p.tlt $d/p.mrc" "level3|-s3 $d/b.tlt $d/p.mrc" "sirt30|-S -i30 -z256 $d/q.tlt $d/q.mrc"; do
    name=${c%%|*} args=${c#*|}
    : >"$d/old.t"; : >"$d/new.t"
    for r in $(seq "$rounds"); do
        order="old new"; [ $((r % 2)) -eq 0 ] && order="new old"
        for who in $order; do
            bin=$old; [ "$who" = new ] && bin=$new
            # shellcheck disable=SC2086
            run "$bin" $args "$d/$who.mrc" >>"$d/$who.t"
        done
        cmp -s "$d/old.mrc" "$d/new.mrc" || { echo "$name: outputs DIFFER"; exit 1; }
    done
    ow=$(awk '{ print $1 }' "$d/old.t" | median) nw=$(awk '{ print $1 }' "$d/new.t" | median)
    oc=$(awk '{ print $2 + $3 }' "$d/old.t" | median) nc=$(awk '{ print $2 + $3 }' "$d/new.t" | median)
    awk -v n="$name" -v ow="$ow" -v nw="$nw" -v oc="$oc" -v nc="$nc" -v r="$rounds" 'BEGIN {
        printf "%-7s wall old %.2f s new %.2f s ratio %.2f | cpu old %.2f s new %.2f s ratio %.2f (%d rounds, outputs identical)\n",
               n, ow, nw, nw / ow, oc, nc, nc / oc, r }'
done

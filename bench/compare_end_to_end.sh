#!/usr/bin/env bash
# End-to-end wall, user and system seconds of two skarbel binaries on the same
# 512 x 512 x 61 phantom stack at thickness 512, run alternately: every WBP level
# (level 3 with tilt-symmetric angles) and SIRT with 3 iterations; the second
# binary also with --batch=1 and as a one-slice run (--slices=0,0, which is
# mostly set-up). Every output is deleted, and the page cache flushed, before
# its run. Outputs of the two binaries are compared byte for byte.
#   bench/compare_end_to_end.sh OLD_SKARBEL NEW_SKARBEL [ROUNDS]
set -euo pipefail
old=$1 new=$2 rounds=${3:-2}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
d=$(mktemp -d /tmp/skarbel_compare_XXXXXX)
trap 'rm -rf "$d"' EXIT
"$root/build/tools/skarbel_phantom" -x 512 -y 512 -z 512 -t 61 -r 60 "$d/p" >/dev/null
rm -f "$d/p_truth.mrc"
{ echo -60; seq -59 2 59; } >"$d/b.tlt"
run() { rm -f "${@: -1}"; sync; /usr/bin/time -f "%e %U %S" "$@" 2>&1 >/dev/null | tail -1; }
for r in $(seq "$rounds"); do
    for m in "-s0:p" "-s1:p" "-s2:p" "-s3:b" "-S -i3:p"; do
        args=${m%:*} tlt=$d/${m#*:}.tlt
        o=$(run "$old" $args "$tlt" "$d/p.mrc" "$d/o1.mrc")
        n=$(run "$new" $args "$tlt" "$d/p.mrc" "$d/o2.mrc")
        one=$(run "$new" $args --batch=1 "$tlt" "$d/p.mrc" "$d/o3.mrc")
        su=$(run "$new" $args --slices=0,0 "$tlt" "$d/p.mrc" "$d/o4.mrc")
        same=$(cmp -s "$d/o1.mrc" "$d/o2.mrc" && cmp -s "$d/o1.mrc" "$d/o3.mrc" && echo identical || echo DIFFERENT)
        echo "round $r [$args] old: $o | new: $n | new --batch=1: $one | one slice: $su | outputs $same"
    done
done

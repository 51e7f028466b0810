#!/usr/bin/env bash
# End-to-end wall seconds of skarbel on the 512 x 512 x 61 phantom stack at
# thickness 512, WBP level 2: a default run (MODE 2 floats, XZ sections),
# --mode=12 and --rotx, run one after another in every round (each round
# starting with another of them) so that the load of the machine falls on all
# three alike. Every output is deleted, and the
# page cache flushed, before its run. Prints each round (wall, user and system
# seconds) and the median ratios to the default run of the same round, of the
# wall time and of the processor time (user + system, less moved by other jobs
# on a shared machine).
#   bench/compare_output_options.sh [SKARBEL] [ROUNDS]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
skarbel=${1:-$root/build/skarbel} rounds=${2:-5}
d=$(mktemp -d /tmp/skarbel_output_options_XXXXXX)
trap 'rm -rf "$d"' EXIT
"$root/build/tools/skarbel_phantom" -x 512 -y 512 -z 512 -t 61 -r 60 "$d/p" >/dev/null
rm -f "$d/p_truth.mrc"
run() { rm -f "$d/o.mrc"; sync; /usr/bin/time -f "%e %U %S" "$skarbel" -s2 -z512 "$@" "$d/p.tlt" "$d/p.mrc" "$d/o.mrc" 2>&1 >/dev/null | tail -1; }
plain=() half=() turned=() cpu_plain=() cpu_half=() cpu_turned=()
cpu() { awk -v u="$2" -v s="$3" 'BEGIN{print u + s}'; }
for r in $(seq "$rounds"); do
    # Each round starts with another of the three.
    case $((r % 3)) in
        1) p=$(run) h=$(run --mode=12) t=$(run --rotx) ;;
        2) h=$(run --mode=12) t=$(run --rotx) p=$(run) ;;
        0) t=$(run --rotx) p=$(run) h=$(run --mode=12) ;;
    esac
    plain+=("${p%% *}") half+=("${h%% *}") turned+=("${t%% *}")
    cpu_plain+=("$(cpu $p)") cpu_half+=("$(cpu $h)") cpu_turned+=("$(cpu $t)")
    echo "round $r (wall user system): default $p, --mode=12 $h, --rotx $t"
done
median() { printf '%s\n' "$@" | sort -g | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
mp=$(median "${plain[@]}") mh=$(median "${half[@]}") mt=$(median "${turned[@]}")
ratio() { awk -v a="$1" -v b="$2" 'BEGIN{printf "%.3f\n", a/b}'; }
hr=() tr=() chr=() ctr=()
for i in "${!plain[@]}"; do
    hr+=("$(ratio "${half[$i]}" "${plain[$i]}")") tr+=("$(ratio "${turned[$i]}" "${plain[$i]}")")
    chr+=("$(ratio "${cpu_half[$i]}" "${cpu_plain[$i]}")") ctr+=("$(ratio "${cpu_turned[$i]}" "${cpu_plain[$i]}")")
done
echo "median wall: default $mp s, --mode=12 $mh s, --rotx $mt s"
echo "median ratio to the default run of the same round, wall: --mode=12 $(median "${hr[@]}"), --rotx $(median "${tr[@]}")"
echo "median ratio to the default run of the same round, user + system: --mode=12 $(median "${chr[@]}"), --rotx $(median "${ctr[@]}")"

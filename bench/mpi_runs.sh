#!/usr/bin/env bash
# Whole runs of skarbel and skarbel-mpi on one machine: 1 rank x 2 threads
# against 2 ranks x 1 thread on a 512 x 512 x 61 phantom stack (WBP level 2,
# thickness 512), each also over the first slices only, which leaves set-up.
# Usage: bench/mpi_runs.sh [build folder, default build] [symmetry level, default 2]
set -euo pipefail
BUILD="${1:-build}"
LEVEL="${2:-2}"
MPIRUN="$(command -v mpirun)"
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 CUDA_VISIBLE_DEVICES=
DIR="$(mktemp -d)"
trap 'rm -rf "$DIR"' EXIT
"$BUILD/tools/skarbel_phantom" -x 512 -y 512 -z 512 -t 61 "$DIR/p" >/dev/null

# Seconds of wall time of a command, its output discarded.
seconds() {
    local start end
    start=$(date +%s.%N)
    "$@" >/dev/null 2>&1
    end=$(date +%s.%N)
    echo "$end - $start" | bc
}

one_rank() { OMP_NUM_THREADS=2 "$BUILD/skarbel" -s"$LEVEL" "$@" "$DIR/p.tlt" "$DIR/p.mrc" "$DIR/one.mrc"; }
two_ranks() {
    "$MPIRUN" --oversubscribe --bind-to none -np 2 -x OMP_NUM_THREADS=1 "$BUILD/skarbel-mpi" -s"$LEVEL" "$@" \
        "$DIR/p.tlt" "$DIR/p.mrc" "$DIR/two.mrc"
}

printf "%-22s %10s %14s\n" "run" "whole (s)" "set-up+1 (s)"
printf "%-22s %10s %14s\n" "1 rank x 2 threads" "$(seconds one_rank)" "$(seconds one_rank --slices=0,0)"
printf "%-22s %10s %14s\n" "2 ranks x 1 thread" "$(seconds two_ranks)" "$(seconds two_ranks --slices=0,1)"
printf "%-22s %10s\n" "mpirun -np 2 true" "$(seconds "$MPIRUN" --oversubscribe -np 2 true)"
echo "bytes written per slice: $((512 * 512 * 4))"

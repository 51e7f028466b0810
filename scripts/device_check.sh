#!/usr/bin/env bash
# On a machine with an NVIDIA GPU: builds with the CUDA backend, runs every test
# (the backend tests then run on the GPU as well as on the host) and the
# benchmarks, briefly. Logs go to $OUT when it is set, else to build-cuda/logs.
# Exit status: that of the tests; 77 when the machine lacks what the build needs.
set -uo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
BUILD="$ROOT/build-cuda"
LOGS="${OUT:-$BUILD/logs}"
mkdir -p "$LOGS"
JOBS="$(nproc 2>/dev/null || echo 4)"
SUMMARY="$LOGS/summary.txt"
: >"$SUMMARY"
note() { echo "$*" | tee -a "$SUMMARY"; }

{ nvidia-smi || echo "nvidia-smi failed"; } >"$LOGS/nvidia-smi.txt" 2>&1
note "GPU: $(nvidia-smi --query-gpu=name,driver_version,memory.total --format=csv,noheader 2>/dev/null || echo none)"

missing=""
command -v cmake >/dev/null || missing="$missing cmake"
[ -x /usr/local/cuda/bin/nvcc ] || command -v nvcc >/dev/null || missing="$missing nvcc"
pkg-config --exists fftw3f 2>/dev/null || missing="$missing fftw3f(pkg-config)"
if [ -n "$missing" ]; then
    note "missing on this machine:$missing"
    exit 77
fi

start=$SECONDS
if ! cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DSKARBEL_CUDA=ON >"$LOGS/build.log" 2>&1; then
    note "configure failed (see build.log)"
    exit 77
fi
if ! cmake --build "$BUILD" -j "$JOBS" >>"$LOGS/build.log" 2>&1; then
    note "build failed (see build.log)"
    tail -40 "$LOGS/build.log"
    exit 1
fi
note "built in $((SECONDS - start)) s"

start=$SECONDS
(cd "$BUILD" && ctest --output-on-failure -j "$JOBS" --timeout 300) >"$LOGS/tests.log" 2>&1
tests_status=$?
note "ctest exit status $tests_status in $((SECONDS - start)) s: $(grep -E 'tests passed|tests failed' "$LOGS/tests.log" | tail -1)"
# The CUDA instances must have run, not been skipped for want of a device.
cuda_total=$(grep -cE 'Test +#[0-9]+: [^ ]*/cuda ' "$LOGS/tests.log" || true)
cuda_skipped=$(grep -E 'Test +#[0-9]+: [^ ]*/cuda ' "$LOGS/tests.log" | grep -c 'Skipped' || true)
note "CUDA backend tests: $cuda_total, of which skipped: $cuda_skipped"
grep -E '\*\*\*(Failed|Exception|Timeout)' "$LOGS/tests.log" | head -40 | tee -a "$SUMMARY"

start=$SECONDS
: >"$LOGS/bench.log"
for bench in "$BUILD"/bench/bench_*; do
    [ -x "$bench" ] || continue
    echo "== $(basename "$bench")" >>"$LOGS/bench.log"
    timeout 120 "$bench" --benchmark_min_time=0.2 >>"$LOGS/bench.log" 2>&1 || echo "(exit $?)" >>"$LOGS/bench.log"
done
note "benchmarks in $((SECONDS - start)) s"
exit "$tests_status"

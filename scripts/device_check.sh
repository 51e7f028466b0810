#!/usr/bin/env bash
# Check of the CUDA backend on a machine with an NVIDIA GPU, meant to run once,
# unattended, within 10 minutes. It
#   1. stops at once (status 2) when there is no GPU: such a run proves nothing;
#   2. installs missing packages where it can and builds with CUDA forced on
#      (without the tests when their packages are missing);
#   3. runs skarbel on the GPU and on the host (CUDA_VISIBLE_DEVICES=) on generated
#      phantoms, at every WBP level and with SIRT, one case with a slice of more
#      than 2^24 pixels, checks that the device line names the GPU, compares the
#      volumes and prints the times;
#   4. runs the CUDA instances of the tests (the backend-parameterised ones),
#      failing when none ran or any was skipped, then the other tests.
# Logs and the summary go to $OUT when it is set, else to build-cuda/logs.
# Exit status 0 only when every check passed.
set -uo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
BUILD="$ROOT/build-cuda"
LOGS="${OUT:-$BUILD/logs}"
WORK="$BUILD/check"
mkdir -p "$LOGS" "$WORK"
JOBS="$(nproc 2>/dev/null || echo 4)"
SUMMARY="$LOGS/summary.txt"
: >"$SUMMARY"
FAILED=0
DEADLINE=570  # seconds: the machine allows 600
left() { echo $(( DEADLINE - SECONDS > 0 ? DEADLINE - SECONDS : 1 )); }
note() { echo "$*" | tee -a "$SUMMARY"; }
pass() { note "PASS  $*"; }
fail() { note "FAIL  $*"; FAILED=1; }
finish() {
    note ""
    if [ "$FAILED" = 0 ]; then note "device check: all checks passed"; else note "device check: FAILED (see above)"; fi
    note "total time $SECONDS s; logs in $LOGS"
    exit "$FAILED"
}

# ---- 1. a GPU, or nothing to check ----
{ nvidia-smi || echo "nvidia-smi failed"; } >"$LOGS/nvidia-smi.txt" 2>&1
GPU_NAME="$(nvidia-smi --query-gpu=name --format=csv,noheader 2>/dev/null | head -1)"
if [ -z "$GPU_NAME" ]; then
    note "FAIL  no GPU was used: nvidia-smi finds no NVIDIA GPU on this machine"
    exit 2
fi
note "GPU: $(nvidia-smi --query-gpu=name,compute_cap,driver_version,memory.total --format=csv,noheader | head -1)"

# ---- 2. packages and build ----
NEEDED="cmake g++ make pkg-config libfftw3-dev libgtest-dev libpng-dev python3"
missing=""
for p in $NEEDED; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ] && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    note "installing:$missing (may fail offline)"
    { timeout 40 apt-get update -qq; DEBIAN_FRONTEND=noninteractive timeout 90 apt-get install -y -qq $missing; } \
        >"$LOGS/apt.log" 2>&1 || note "apt-get failed; building what the machine allows"
fi

start=$SECONDS
TESTS=ON
configure() {
    cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DSKARBEL_CUDA=ON -DSKARBEL_BUILD_BENCH=OFF \
        -DSKARBEL_BUILD_TESTS="$TESTS" >>"$LOGS/build.log" 2>&1
}
: >"$LOGS/build.log"
if ! configure; then
    TESTS=OFF
    note "configure with tests failed (missing test packages?); building without tests"
    rm -f "$BUILD/CMakeCache.txt"
    configure || { fail "configure failed (see build.log)"; tail -30 "$LOGS/build.log"; finish; }
fi
if ! timeout "$(left)" cmake --build "$BUILD" -j "$JOBS" >>"$LOGS/build.log" 2>&1; then
    fail "build failed (see build.log)"
    tail -40 "$LOGS/build.log"
    finish
fi
note "built (tests $TESTS) in $((SECONDS - start)) s"
SKARBEL="$BUILD/skarbel"
PHANTOM="$BUILD/tools/skarbel_phantom"

# ---- 3. skarbel on the GPU and on the host ----
# Largest |difference| of the float data of two volumes, absolute and relative to
# the host volume's largest |value| (plain python3, no numpy needed).
max_difference() {
    python3 - "$1" "$2" <<'PY'
import sys
from array import array
def data(name):
    with open(name, "rb") as f:
        f.seek(1024)
        a = array("f")
        a.frombytes(f.read())
    return a
gpu, host = data(sys.argv[1]), data(sys.argv[2])
if len(gpu) != len(host):
    print("sizes differ", 1e30); sys.exit()
d = max((abs(x - y) for x, y in zip(gpu, host)), default=0.0)
m = max((abs(y) for y in host), default=0.0)
print(f"{d:.3g} {d / m if m > 0 else d:.3g}")
PY
}

# Runs one case on both devices, then checks the device line and compares the volumes.
# WBP levels 0-2 add in a fixed order and must match the host bit for bit; level 3 and
# SIRT add with atomics in an order that varies, so they may differ in the last bits:
# tolerance 1e-5 (level 3) and 1e-4 (SIRT, after its iterations) of the largest |value|.
TIMES=""
run_case() {
    local label="$1" stem="$2" tolerance="$3"
    shift 3
    local g="$WORK/$label.gpu.mrc" h="$WORK/$label.host.mrc" t0 t1 t2
    t0=$(date +%s.%N)
    "$SKARBEL" "$@" "$stem.tlt" "$stem.mrc" "$g" >"$WORK/$label.gpu.out" 2>"$WORK/$label.gpu.err"
    local gpu_status=$?
    t1=$(date +%s.%N)
    CUDA_VISIBLE_DEVICES= "$SKARBEL" "$@" "$stem.tlt" "$stem.mrc" "$h" >"$WORK/$label.host.out" 2>"$WORK/$label.host.err"
    local host_status=$?
    t2=$(date +%s.%N)
    TIMES="$TIMES$(awk -v l="$label" -v a="$t0" -v b="$t1" -v c="$t2" \
        'BEGIN { printf "%-16s %8.2f %8.2f %7.1fx", l, b - a, c - b, (c - b) / (b - a) }')"$'\n'
    cp "$WORK/$label.gpu.err" "$WORK/$label.host.err" "$LOGS/" 2>/dev/null
    if [ "$gpu_status" != 0 ] || [ "$host_status" != 0 ]; then
        fail "$label: exit status GPU $gpu_status, host $host_status: $(head -c 300 "$WORK/$label.gpu.err")"
        return
    fi
    local line
    line="$(head -1 "$WORK/$label.gpu.err")"
    if [[ "$line" != "Using device "*": $GPU_NAME" ]]; then
        fail "$label: the device line does not name the GPU: '$line' ($(grep -m1 warning "$WORK/$label.gpu.err"))"
        return
    fi
    if cmp -s "$g" "$h"; then
        pass "$label: GPU and host volumes identical"
        rm -f "$g" "$h"
        return
    fi
    local diff
    diff="$(max_difference "$g" "$h" 2>&1)"
    if awk -v d="${diff#* }" -v t="$tolerance" 'BEGIN { exit !(d ~ /^[0-9.e+-]+$/ && d + 0 <= t + 0) }'; then
        pass "$label: volumes differ by at most $diff (absolute, relative), tolerance $tolerance relative"
    else
        fail "$label: volumes differ by $diff (absolute, relative), tolerance $tolerance relative"
    fi
    rm -f "$g" "$h"
}

cd "$WORK" || finish
"$PHANTOM" -x512 -y4 -z256 -t61 -r60 small >/dev/null 2>&1 || fail "phantom small could not be written"
# 4200 x 4200 = 17 640 000 pixels per slice, more than 2^24; few tilts keep it quick.
"$PHANTOM" -x4200 -y1 -z4200 -t9 -r60 -s1 large >/dev/null 2>&1 || fail "phantom large could not be written"
for level in 0 1 2 3; do
    tol=0; [ "$level" = 3 ] && tol=1e-5
    run_case "small-s$level" small "$tol" "-s$level"
    run_case "large-s$level" large "$tol" "-s$level"
done
run_case small-sirt small 1e-4 -S -i10
run_case large-sirt large 1e-4 -S -i2
cd "$ROOT" || finish
note ""
note "$(printf '%-16s %8s %8s %8s' case "GPU s" "host s" "host/GPU")"
note "${TIMES%$'\n'}"
note ""

# ---- 4. the tests: CUDA instances first, then the rest ----
if [ "$TESTS" = ON ]; then
    # The backend instances are named <test>/cuda, <test>/cuda_<case> or <test>/<case>_cuda
    # (ctest appends "  # GetParam() = ..." to the names).
    CUDA_TESTS='/(cuda(_[A-Za-z0-9]+)?|[A-Za-z0-9_]+_cuda)( |$)'
    # ctest runs several tests at once; each gets a share of the cores.
    export OMP_NUM_THREADS=$(( JOBS / 4 > 0 ? JOBS / 4 : 1 ))
    start=$SECONDS
    registered=$(cd "$BUILD" && ctest -N -R "$CUDA_TESTS" | grep -cE 'Test +#[0-9]+: ')
    (cd "$BUILD" && timeout "$(left)" ctest -R "$CUDA_TESTS" -j 4 --timeout 200) >"$LOGS/tests_cuda.log" 2>&1
    # One result line per test that ran, all of them CUDA instances.
    lines="$(grep -E 'Test +#[0-9]+: ' "$LOGS/tests_cuda.log")"
    ran=$(grep -c . <<<"$lines")
    passed=$(grep -c ' Passed ' <<<"$lines")
    skipped=$(grep -c 'Skipped' <<<"$lines")
    note "CUDA tests: $registered registered, $ran ran, $passed passed, $skipped skipped, in $((SECONDS - start)) s"
    if [ "$registered" -gt 0 ] && [ "$passed" = "$registered" ]; then pass "every CUDA test ran and passed"
    elif [ "$ran" = 0 ]; then fail "no CUDA test ran (see tests_cuda.log)"
    else fail "CUDA tests skipped, failed or not run:"; grep -v ' Passed ' <<<"$lines" | head -30 | tee -a "$SUMMARY"; fi

    # The host's own tests, in the time left (their result on a CI machine is known).
    if [ "$(left)" -lt 40 ]; then
        note "other tests not run: no time left"
    else
        start=$SECONDS
        (cd "$BUILD" && timeout "$(left)" ctest -E "$CUDA_TESTS" -j 4 --timeout 180) >"$LOGS/tests_other.log" 2>&1
        status=$?
        note "other tests: $(grep -E 'tests passed|tests failed' "$LOGS/tests_other.log" | tail -1) in $((SECONDS - start)) s"
        if [ "$status" = 0 ]; then pass "the other tests"; else fail "the other tests (status $status, see tests_other.log)"
            grep -E '\*\*\*(Failed|Exception|Timeout)|Not Run' "$LOGS/tests_other.log" | head -20 | tee -a "$SUMMARY"; fi
    fi
else
    fail "no CUDA test ran: the tests could not be built here (missing packages, see build.log)"
fi
finish

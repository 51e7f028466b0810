#!/usr/bin/env bash
# Check of the CUDA backend on a machine with an NVIDIA GPU, meant to run once,
# unattended, within 480 s on a 16-core machine that starts bare. It
#   1. stops at once when there is nothing it could check: no GPU, no nvcc, or
#      (after installing what it can) no cmake new enough (status 2, one line);
#   2. builds with CUDA forced on, for the program's own architectures (without
#      the tests when their packages are missing);
#   3. runs skarbel on the GPU and on the host (CUDA_VISIBLE_DEVICES=) and
#      requires the same volumes, bit for bit (NaN for NaN), and the same headers
#      (the statistics are taken from the slices after the streams are
#      synchronised): every WBP level and SIRT on tilt-symmetric angles (level 3
#      must run as itself), 13 slices in one batch and in batches of 4, three
#      slices of more than 2^24 pixels in one batch, and the last GPU where there
#      are several; checks that the device line names the GPU;
#   4. runs the CUDA instances of the tests (the backend-parameterised ones),
#      failing when none ran or any was skipped;
#   5. times GPU and host on 1024 x 1024 projections, 61 tilts, thickness 512;
#   6. runs the host's own tests in the time left.
# Each skarbel run has its own timeout; a step that does not fit in the time
# left is reported "not run".
# Exit status: 0 every check ran and passed; 1 a check failed; 2 nothing could
# be checked; 3 nothing failed but a check was not run for lack of time.
# Logs and the summary go to $OUT when it is set, else to build-cuda/logs.
#   bash scripts/device_check.sh                    the check
#   bash scripts/device_check.sh --compare A B      compares two volumes as the check does
set -uo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# ---- the comparison of two volumes ----
# Prints one line: whether the 1024-byte headers are identical (else the words
# that differ), the samples, how many differ in value (a NaN against a number
# counts, NaN against NaN does not), how many of those are NaN on one side only,
# the largest |difference|, and how many equal samples differ in their bits
# (signed zeros, NaN payloads). Status 0 when headers and values are identical.
compare_volumes() {
    python3 - "$1" "$2" <<'PY'
import os, sys, time
a, b = sys.argv[1], sys.argv[2]
names = {0: "NX", 4: "NY", 8: "NZ", 12: "MODE", 76: "DMIN", 80: "DMAX", 84: "DMEAN", 216: "RMS"}
try:
    import numpy as np
except ImportError:
    np = None
from array import array
with open(a, "rb") as fa, open(b, "rb") as fb:
    ha, hb = fa.read(1024), fb.read(1024)
    words = [o for o in range(0, 1024, 4) if ha[o:o + 4] != hb[o:o + 4]]
    if len(ha) < 1024 or len(hb) < 1024:
        header = "header missing"
    elif words:
        header = "header differs at bytes " + ",".join(f"{o}" + (f"({names[o]})" if o in names else "") for o in words[:8])
    else:
        header = "header identical"
    samples = differ = nan_one = bits = 0
    largest = 0.0
    sizes = os.path.getsize(a) == os.path.getsize(b)
    started, incomplete = time.time(), False
    while True:
        x, y = fa.read(1 << 22), fb.read(1 << 22)
        if not x and not y:
            break
        n = min(len(x), len(y)) // 4 * 4
        if x == y:
            samples += n // 4
            if len(x) != len(y):
                break
            continue
        if incomplete or time.time() - started > 15:
            # A volume this different fails anyway; stop decoding, go on counting.
            incomplete = True
            samples += n // 4
            continue
        if np is not None:
            u, v = np.frombuffer(x[:n], np.float32), np.frombuffer(y[:n], np.float32)
            un, vn = np.isnan(u), np.isnan(v)
            equal = (u == v) | (un & vn)
            one = un ^ vn
            differ += int((~equal).sum())
            nan_one += int(one.sum())
            if one.any():
                largest = float("inf")
            both = ~equal & ~one
            if both.any():
                with np.errstate(over="ignore", invalid="ignore"):
                    largest = max(largest, float(np.abs(u[both].astype(np.float64) - v[both].astype(np.float64)).max()))
            bits += int((equal & (u.view(np.uint32) != v.view(np.uint32))).sum())
        else:
            u, v = array("f", x[:n]), array("f", y[:n])
            for i, (p, q) in enumerate(zip(u, v)):
                if p == q or (p != p and q != q):
                    if x[4 * i:4 * i + 4] != y[4 * i:4 * i + 4]:
                        bits += 1
                    continue
                differ += 1
                if (p != p) != (q != q):
                    nan_one += 1
                    largest = float("inf")
                else:
                    largest = max(largest, abs(p - q))
        samples += n // 4
        if len(x) != len(y):
            break
    fails = header != "header identical" or differ > 0 or not sizes or incomplete
    print(f"{header}; {samples} samples{'' if sizes else ' (FILE SIZES DIFFER)'}: {differ} differ"
          f"{' or more (stopped counting)' if incomplete else ''} ({nan_one} NaN on one side only), "
          f"largest difference {largest:.6g}, {bits} equal in value but not in bits")
    sys.exit(1 if fails else 0)
PY
}

# Writes a stack whose every section holds the rows of the given one `copies`
# times over (MRC mode 2 in the host's byte order): a stack of many slices in a
# fraction of the time the phantom tool takes to make it.
tile_rows() {  # in.mrc out.mrc copies
    python3 - "$@" <<'PY'
import struct, sys
src, dst, copies = sys.argv[1], sys.argv[2], int(sys.argv[3])
with open(src, "rb") as f, open(dst, "wb") as g:
    h = bytearray(f.read(1024))
    nx, ny, nz, mode = struct.unpack_from("=4i", h, 0)
    if mode != 2:
        sys.exit(f"mode {mode}, not 2")
    extended = f.read(struct.unpack_from("=i", h, 92)[0])
    struct.pack_into("=i", h, 4, ny * copies)                                   # NY
    struct.pack_into("=i", h, 32, struct.unpack_from("=i", h, 32)[0] * copies)  # MY
    struct.pack_into("=f", h, 44, struct.unpack_from("=f", h, 44)[0] * copies)  # cell Y
    g.write(h)
    g.write(extended)
    for z in range(nz):
        section = f.read(4 * nx * ny)
        if len(section) != 4 * nx * ny:
            sys.exit("stack shorter than its header says")
        g.write(section * copies)
PY
}

if [ "${1:-}" = "--compare" ]; then
    compare_volumes "$2" "$3"
    exit $?
fi

cd "$ROOT"
BUILD="$ROOT/build-cuda"
LOGS="${OUT:-$BUILD/logs}"
WORK="$BUILD/check"
mkdir -p "$LOGS" "$WORK"
JOBS="$(nproc 2>/dev/null || echo 4)"
SUMMARY="$LOGS/summary.txt"
: >"$SUMMARY"
FAILED=0
NOT_RUN=0
BUDGET=480     # seconds for the whole check
RESERVE=10     # kept for the summary
left() { echo $(( BUDGET - RESERVE - SECONDS > 1 ? BUDGET - RESERVE - SECONDS : 1 )); }
note() { echo "$*" | tee -a "$SUMMARY"; }
pass() { note "PASS  $*"; }
fail() { note "FAIL  $*"; FAILED=1; }
not_run() { note "NOT RUN  $*"; NOT_RUN=1; }
# Nothing could be checked: one line, status 2.
nothing_checked() { note "FAIL  no GPU was used: $*"; exit 2; }
finish() {
    note ""
    if [ "$FAILED" != 0 ]; then note "device check: FAILED (see above)"
    elif [ "$NOT_RUN" != 0 ]; then note "device check: no check failed, but some were not run (see above)"
    else note "device check: all checks passed"; fi
    note "total time $SECONDS s; logs in $LOGS"
    if [ "$FAILED" != 0 ]; then exit 1; fi
    if [ "$NOT_RUN" != 0 ]; then exit 3; fi
    exit 0
}

# ---- 1. a GPU and a CUDA compiler, or nothing to check ----
command -v nvidia-smi >/dev/null || nothing_checked "nvidia-smi is not installed (no NVIDIA driver on this machine)"
{ nvidia-smi || echo "nvidia-smi failed"; } >"$LOGS/nvidia-smi.txt" 2>&1
GPU_NAME="$(nvidia-smi --query-gpu=name --format=csv,noheader 2>/dev/null | head -1)"
[ -n "$GPU_NAME" ] || nothing_checked "nvidia-smi finds no NVIDIA GPU on this machine"
GPU_COUNT="$(nvidia-smi --query-gpu=name --format=csv,noheader 2>/dev/null | grep -c .)"
note "GPU: $(nvidia-smi --query-gpu=name,compute_cap,driver_version,memory.total --format=csv,noheader | head -1) ($GPU_COUNT GPU(s)); $JOBS cores"
NVCC="$(command -v nvcc || true)"
[ -z "$NVCC" ] && [ -x /usr/local/cuda/bin/nvcc ] && NVCC=/usr/local/cuda/bin/nvcc
[ -n "$NVCC" ] || nothing_checked "no CUDA compiler (nvcc is neither on PATH nor in /usr/local/cuda/bin)"
note "nvcc: $("$NVCC" --version | grep -m1 -o 'release [0-9.]*')"

# ---- 2. packages and build ----
# Downloads under a timeout; dpkg itself is never interrupted (that would leave
# the package database half-configured).
NEEDED="cmake g++ make pkg-config libfftw3-dev libgtest-dev libpng-dev python3"
missing=""
for p in $NEEDED; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ] && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    start=$SECONDS
    export DEBIAN_FRONTEND=noninteractive
    if { timeout 60 apt-get update -qq && timeout 120 apt-get install -y -qq --download-only $missing; } >"$LOGS/apt.log" 2>&1 &&
        apt-get install -y -qq --no-download $missing >>"$LOGS/apt.log" 2>&1; then
        note "installed:$missing in $((SECONDS - start)) s"
    else
        note "apt-get could not install:$missing (see apt.log); building what the machine allows"
    fi
fi
command -v python3 >/dev/null || nothing_checked "python3 is not installed (the volume comparison needs it)"
CMAKE_VERSION="$(cmake --version 2>/dev/null | head -1 | grep -o '[0-9][0-9.]*' | head -1)"
[ -n "$CMAKE_VERSION" ] || nothing_checked "cmake is not installed (3.25 or newer is needed)"
if ! printf '3.25\n%s\n' "$CMAKE_VERSION" | sort -V -C; then
    nothing_checked "cmake $CMAKE_VERSION is too old (3.25 or newer is needed)"
fi

start=$SECONDS
TESTS=ON
# nvcc compiles the architectures of one file in parallel.
configure() {
    cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DSKARBEL_CUDA=ON -DCMAKE_CUDA_COMPILER="$NVCC" \
        -DCMAKE_CUDA_FLAGS="--threads=0" -DSKARBEL_BUILD_BENCH=OFF -DSKARBEL_BUILD_TESTS="$TESTS" \
        >>"$LOGS/build.log" 2>&1
}
: >"$LOGS/build.log"
if ! configure; then
    TESTS=OFF
    note "configure with tests failed (missing test packages?); building without tests"
    rm -f "$BUILD/CMakeCache.txt"
    configure || { fail "configure failed (see build.log)"; tail -30 "$LOGS/build.log"; finish; }
fi
if ! timeout "$(left)" cmake --build "$BUILD" -j "$JOBS" >>"$LOGS/build.log" 2>&1; then
    fail "build failed or ran out of time (see build.log)"
    tail -40 "$LOGS/build.log"
    finish
fi
note "built (tests $TESTS, CUDA architectures $(grep -m1 '^CMAKE_CUDA_ARCHITECTURES' "$BUILD/CMakeCache.txt" | cut -d= -f2)) in $((SECONDS - start)) s"
SKARBEL="$BUILD/skarbel"
PHANTOM="$BUILD/tools/skarbel_phantom"

# ---- 3. skarbel on the GPU and on the host ----
# Runs one case on both devices and checks statuses, device lines, warnings, the
# printed text, and the volumes (headers included), bit for bit: WBP levels 0 to
# 2 add in a fixed order; level 3 and SIRT add with atomics, but each target gets
# at most two additions into zero, which give the same bits in either order, and
# neither side fuses multiply-adds. Appends the wall times to TIMES.
TIMES=""
run_case() {
    local label="$1" cap="$2" stem="$3" tlt="$4"
    shift 4
    local g="$WORK/$label.gpu.mrc" h="$WORK/$label.host.mrc" t0 t1 t2 gs hs
    if [ "$(left)" -lt 20 ]; then not_run "$label: no time left"; return; fi
    local limit=$(( cap < $(left) ? cap : $(left) ))
    t0=$(date +%s.%N)
    timeout -k 5 "$limit" "$SKARBEL" "$@" "$tlt" "$stem.mrc" "$g" >"$WORK/$label.gpu.out" 2>"$WORK/$label.gpu.err"
    gs=$?
    t1=$(date +%s.%N)
    limit=$(( cap < $(left) ? cap : $(left) ))
    CUDA_VISIBLE_DEVICES= timeout -k 5 "$limit" "$SKARBEL" "$@" "$tlt" "$stem.mrc" "$h" \
        >"$WORK/$label.host.out" 2>"$WORK/$label.host.err"
    hs=$?
    t2=$(date +%s.%N)
    TIMES="$TIMES$(awk -v l="$label" -v a="$t0" -v b="$t1" -v c="$t2" \
        'BEGIN { printf "%-18s %8.2f %8.2f %7.1fx", l, b - a, c - b, (c - b) / (b - a) }')"$'\n'
    cp "$WORK/$label.gpu.err" "$WORK/$label.host.err" "$LOGS/" 2>/dev/null
    local why=""
    [ "$gs" = 124 ] || [ "$gs" = 137 ] && why="$why GPU run timed out;"
    # A slow host says nothing about the GPU: without its volume the case is not run.
    if [ -z "$why" ] && { [ "$hs" = 124 ] || [ "$hs" = 137 ]; }; then
        not_run "$label: the host run took longer than $limit s (GPU run: status $gs)"
        rm -f "$g" "$h"
        return
    fi
    [ -z "$why" ] && { [ "$gs" != 0 ] || [ "$hs" != 0 ]; } &&
        why="$why exit status GPU $gs, host $hs: $(head -c 300 "$WORK/$label.gpu.err" | tr '\n' ' ');"
    local line
    line="$(head -1 "$WORK/$label.gpu.err")"
    [[ "$line" =~ ^"Using device "[0-9]+": $GPU_NAME"$ ]] || why="$why the GPU run's device line is '$line';"
    grep -q "using symmetry level 2" "$WORK/$label.gpu.err" "$WORK/$label.host.err" &&
        why="$why level 3 fell back to level 2;"
    grep -qi "warning" "$WORK/$label.gpu.err" && why="$why GPU run warned: $(grep -m1 -i warning "$WORK/$label.gpu.err");"
    cmp -s "$WORK/$label.gpu.out" "$WORK/$label.host.out" || why="$why standard output differs;"
    local verdict=""
    if [ -f "$g" ] && [ -f "$h" ]; then
        verdict="$(compare_volumes "$g" "$h" 2>&1)" || why="$why volumes differ;"
    else
        why="$why a volume is missing;"
    fi
    if [ -z "$why" ]; then pass "$label: $verdict"; else fail "$label:$why ${verdict:-}"; fi
    rm -f "$g" "$h"
}

cd "$WORK" || finish
# Tilt-symmetric angles (angle(N - t) = -angle(t)), so that level 3 runs as itself;
# the projections are the phantom's, at evenly spread angles: the volumes are
# still a fair test of both devices.
{ echo -60; seq -59 2 59; } >sym61.tlt
{ echo -60; seq -56 16 56; } >sym9.tlt
start=$SECONDS
# 13 slices: one batch of 13 (sub-batches of 7 and 6), or batches of 4 (sub-batches
# of 2 and 2, and a last batch of one slice, which runs the single-slice products).
"$PHANTOM" -x512 -y13 -z256 -t61 -r60 -s1 small >/dev/null 2>&1 || fail "phantom small could not be written"
# 4200 x 4200 = 17 640 000 pixels per slice, more than 2^24, three slices in one
# batch (sub-batches of 2 and 1); few tilts keep it quick.
"$PHANTOM" -x4200 -y3 -z4200 -t9 -r60 -s1 large >/dev/null 2>&1 || fail "phantom large could not be written"
rm -f small_truth.mrc large_truth.mrc
note "phantoms written in $((SECONDS - start)) s"
for level in 0 1 2 3; do
    run_case "small-s$level" 60 small sym61.tlt "-s$level"
    run_case "small-s$level-b4" 60 small sym61.tlt "-s$level" --batch=4
    run_case "large-s$level" 120 large sym9.tlt "-s$level" --batch=3
done
run_case small-sirt 60 small sym61.tlt -S -i10
run_case small-sirt-b4 60 small sym61.tlt -S -i10 --batch=4
run_case large-sirt 120 large sym9.tlt -S -i2 --batch=3
# The worker thread must run on the selected GPU, not on device 0.
if [ "$GPU_COUNT" -gt 1 ]; then
    run_case "small-s3-g$((GPU_COUNT - 1))" 60 small sym61.tlt -s3 "-g$((GPU_COUNT - 1))"
    run_case "small-sirt-g$((GPU_COUNT - 1))" 60 small sym61.tlt -S -i3 "-g$((GPU_COUNT - 1))"
else
    note "one GPU: the runs on a GPU other than device 0 need several"
fi
rm -f small.mrc large.mrc
cd "$ROOT" || finish
note ""
note "$(printf '%-18s %8s %8s %8s' case "GPU s" "host s" "host/GPU")"
note "${TIMES%$'\n'}"
note ""

# ---- 4. the CUDA instances of the tests ----
# The backend instances are named <test>/cuda, <test>/cuda_<case> or <test>/<case>_cuda
# (ctest appends "  # GetParam() = ..." to the names).
CUDA_TESTS='/(cuda(_[A-Za-z0-9]+)?|[A-Za-z0-9_]+_cuda)( |$)'
run_tests() {  # log file, ctest arguments...
    local log="$1"
    shift
    # ctest runs several tests at once; each gets a share of the cores.
    (cd "$BUILD" && OMP_NUM_THREADS=$(( JOBS / 4 > 0 ? JOBS / 4 : 1 )) timeout -k 5 "$(left)" \
        ctest -j 4 --timeout 120 "$@") >"$log" 2>&1
}
if [ "$TESTS" != ON ]; then
    fail "no CUDA test ran: the tests could not be built here (missing packages, see build.log)"
elif [ "$(left)" -lt 30 ]; then
    not_run "CUDA tests: no time left"
else
    start=$SECONDS
    registered=$(cd "$BUILD" && ctest -N -R "$CUDA_TESTS" | grep -cE 'Test +#[0-9]+: ')
    run_tests "$LOGS/tests_cuda.log" -R "$CUDA_TESTS"
    status=$?
    # One result line per test that ran, all of them CUDA instances.
    lines="$(grep -E 'Test +#[0-9]+: ' "$LOGS/tests_cuda.log")"
    ran=$(grep -c . <<<"$lines")
    passed=$(grep -c ' Passed ' <<<"$lines")
    skipped=$(grep -c 'Skipped' <<<"$lines")
    note "CUDA tests: $registered registered, $ran ran, $passed passed, $skipped skipped, in $((SECONDS - start)) s"
    if [ "$registered" -gt 0 ] && [ "$passed" = "$registered" ]; then pass "every CUDA test ran and passed"
    elif [ "$ran" = 0 ]; then fail "no CUDA test ran (status $status, see tests_cuda.log)"
    else fail "CUDA tests skipped, failed or not run (status $status):"; grep -v ' Passed ' <<<"$lines" | head -30 | tee -a "$SUMMARY"; fi
fi
note ""

# ---- 5. GPU and host times at a realistic size ----
# 1024 x 1024 projections, 61 tilt-symmetric tilts, thickness 512, all 1024
# slices (a 2 GiB volume); the volumes are compared too. Needs about 100 s.
if [ "$(left)" -lt 120 ]; then
    not_run "timing at 1024 x 1024 x 61, thickness 512: $(left) s left"
else
    cd "$WORK" || finish
    start=$SECONDS
    { "$PHANTOM" -x1024 -y64 -z512 -t61 -r60 -s1 real64 && tile_rows real64.mrc real.mrc 16; } >/dev/null 2>&1 ||
        fail "phantom real could not be written"
    rm -f real64.mrc real64_truth.mrc
    note "phantom 1024 x 1024 x 61 written in $((SECONDS - start)) s"
    TIMES=""
    for level in 0 1 2 3; do run_case "real-s$level" 90 real sym61.tlt -z512 "-s$level"; done
    run_case real-sirt-i10 150 real sym61.tlt -z512 -S -i10
    rm -f real.mrc
    cd "$ROOT" || finish
    note ""
    note "1024 x 1024 projections, 61 tilts, thickness 512, 1024 slices; wall seconds, default batch:"
    note "$(printf '%-18s %8s %8s %8s' method "GPU s" "host s" "host/GPU")"
    note "${TIMES%$'\n'}"
    note ""
fi

# ---- 6. the host's own tests, in the time left ----
# Their result on a CI machine is known; running out of time here says nothing
# about the GPU, so it is reported as not run.
if [ "$TESTS" != ON ]; then
    :
elif [ "$(left)" -lt 40 ]; then
    not_run "other tests: no time left"
else
    start=$SECONDS
    run_tests "$LOGS/tests_other.log" -E "$CUDA_TESTS"
    status=$?
    failed_lines="$(grep -E '\*\*\*(Failed|Exception)' "$LOGS/tests_other.log")"
    note "other tests: $(grep -E 'tests passed|tests failed' "$LOGS/tests_other.log" | tail -1) in $((SECONDS - start)) s"
    if [ -n "$failed_lines" ]; then
        fail "the other tests (status $status, see tests_other.log)"
        head -20 <<<"$failed_lines" | tee -a "$SUMMARY"
    elif [ "$status" = 124 ] || [ "$status" = 137 ] || grep -qE '\*\*\*Timeout|Not Run' "$LOGS/tests_other.log"; then
        not_run "other tests: out of time after $((SECONDS - start)) s ($(grep -cE ' Passed ' "$LOGS/tests_other.log") passed, none failed)"
    elif [ "$status" = 0 ]; then pass "the other tests"
    else fail "the other tests (status $status, see tests_other.log)"; fi
fi
finish

#!/usr/bin/env bash
# Check of the CUDA backend on a machine with an NVIDIA GPU, meant to run once,
# unattended, within 480 s on a 16-core machine that starts bare. It
#   1. stops when there is nothing it could check: no GPU, no nvcc, or (after
#      installing what it can) a tool or library the build needs is missing;
#   2. builds with CUDA forced on, for the program's own architectures, with
#      the tests, the Python module and skarbel-mpi;
#   3. probes the GPU with one `skarbel --estimate -g0`: a driver too old for
#      the runtime, a GPU the runtime cannot use or a device that cannot be
#      selected stops the check with the program's message;
#   4. runs the same reconstruction on the GPU and on the host
#      (CUDA_VISIBLE_DEVICES=) and requires the same volumes, bit for bit (NaN
#      for NaN), and the same headers: every WBP level and SIRT on even widths
#      and thicknesses with an odd tilt count and on odd ones with an even count
#      (tilt-symmetric, so that level 3 runs as itself), 13 slices in one batch
#      and in batches of 4, three slices of more than 2^24 pixels, a stack
#      1 048 600 pixels wide (a y axis of more blocks than one launch takes),
#      the alignment and output options together, the Python module's
#      reconstruct, skarbel-mpi -np 2 against skarbel, and the last GPU where
#      there are several;
#   5. runs the CUDA instances of the tests (failing when one did not run);
#   6. times GPU and host on 1024 x 1024 projections, 61 tilts, thickness 512
#      (the volumes compared too);
#   7. runs the host's own tests in the time left, for the log only.
# Exit status, one meaning each:
#   0  every check ran and passed;
#   1  a GPU result differed from the host's, or a run failed;
#   2  nothing could be checked (one line says why);
#   3  nothing failed, but a check was not run for lack of time.
# The host's own tests never decide the status. Logs and the summary go to
# $OUT when it is set, else to build-cuda/logs.
#   bash scripts/device_check.sh                    the check
#   bash scripts/device_check.sh --compare A B      compares two volumes as the check does
# For the check's own test: DEVICE_CHECK_BUDGET (seconds, default 480) and
# DEVICE_CHECK_BUILT (a build folder to use instead of building).
set -uo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# ---- the comparison of two volumes ----
# Prints one line: whether the 1024-byte headers are identical (else the words
# that differ), the samples, how many differ in value (a NaN against a number
# counts, NaN against NaN does not), how many of those are NaN on one side only,
# the largest |difference|, and how many equal samples differ in their bits
# (signed zeros, NaN payloads). Status 0 when headers and values are identical.
# With --raw, two files of floats without a header.
compare_volumes() {
    # Identical files need no decoding.
    local a="${@: -2:1}" b="${@: -1}" size
    if cmp -s "$a" "$b"; then
        size=$(stat -c %s "$a")
        if [ "$1" = --raw ]; then echo -n "no header; $((size / 4))"
        elif [ "$size" -ge 1024 ]; then echo -n "header identical; $(((size - 1024) / 4))"
        else echo -n "header missing; 0"; fi
        echo " samples: 0 differ (0 NaN on one side only), largest difference 0, 0 equal in value but not in bits"
        [ "$size" -ge 1024 ] || [ "$1" = --raw ]
        return
    fi
    python3 - "$@" <<'PY'
import os, sys, time
raw = sys.argv[1] == "--raw"
a, b = sys.argv[2:4] if raw else sys.argv[1:3]
names = {0: "NX", 4: "NY", 8: "NZ", 12: "MODE", 76: "DMIN", 80: "DMAX", 84: "DMEAN", 216: "RMS"}
try:
    import numpy as np
except ImportError:
    np = None
from array import array
with open(a, "rb") as fa, open(b, "rb") as fb:
    if raw:
        header = "no header"
    else:
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
    fails = header not in ("header identical", "no header") or differ > 0 or not sizes or incomplete
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

# A stack of nx x ny x nz samples (MRC mode 2, host byte order) of a pattern
# that changes along every axis, for shapes the phantom tool takes long to make.
pattern_stack() {  # out.mrc nx ny nz
    python3 - "$@" <<'PY'
import struct, sys
from array import array
out, nx, ny, nz = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
h = bytearray(1024)
struct.pack_into("=4i", h, 0, nx, ny, nz, 2)
struct.pack_into("=3i", h, 28, nx, ny, nz)
struct.pack_into("=3f", h, 40, nx, ny, nz)
struct.pack_into("=3i", h, 64, 1, 2, 3)
h[208:212] = b"MAP "
h[212:216] = bytes([0x44, 0x44, 0, 0]) if sys.byteorder == "little" else bytes([0x11, 0x11, 0, 0])
row = [float((i * 7919) % 101) for i in range(nx)]
with open(out, "wb") as f:
    f.write(h)
    for z in range(nz):
        for y in range(ny):
            f.write(array("f", [v + 3.0 * z + 5.0 * y for v in row]).tobytes())
PY
}

if [ "${1:-}" = "--compare" ]; then
    compare_volumes "$2" "$3"
    exit $?
fi

cd "$ROOT"
BUILD="${DEVICE_CHECK_BUILT:-$ROOT/build-cuda}"
LOGS="${OUT:-$BUILD/logs}"
WORK="$BUILD/check"
mkdir -p "$LOGS" "$WORK"
JOBS="$(nproc 2>/dev/null || echo 4)"
SUMMARY="$LOGS/summary.txt"
: >"$SUMMARY"
FAILED=0
NOT_RUN=0
BUDGET="${DEVICE_CHECK_BUDGET:-480}"  # seconds for the whole check
RESERVE=$(( BUDGET >= 100 ? 10 : 0 ))  # kept for the summary
left() { echo $(( BUDGET - RESERVE - SECONDS > 0 ? BUDGET - RESERVE - SECONDS : 0 )); }
note() { echo "$*" | tee -a "$SUMMARY"; }
pass() { note "PASS  $*"; }
fail() { note "FAIL  $*"; FAILED=1; }
not_run() { note "NOT RUN  $*"; NOT_RUN=1; }
# Nothing could be checked: one line, status 2.
nothing_checked() { note "NOTHING CHECKED  $*"; exit 2; }
finish() {
    note ""
    if [ "$FAILED" != 0 ]; then note "device check: FAILED (see above)"
    elif [ "$NOT_RUN" != 0 ]; then note "device check: no check failed, but some were not run for lack of time (see above)"
    else note "device check: all checks passed"; fi
    note "total time $SECONDS s; logs in $LOGS"
    if [ "$FAILED" != 0 ]; then exit 1; fi
    if [ "$NOT_RUN" != 0 ]; then exit 3; fi
    exit 0
}
# Seconds a step may take: its own cap, or what is left of the budget.
limit_of() { local l; l=$(left); echo $(( $1 < l ? $1 : l )); }
# Whether a status is that of a command ended by `timeout`.
timed_out() { [ "$1" = 124 ] || [ "$1" = 137 ]; }

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
NEEDED="cmake g++ make pkg-config libfftw3-dev libgtest-dev libpng-dev libomp-dev libopenmpi-dev openmpi-bin
        python3 python3-dev python3-numpy pybind11-dev"
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
        note "apt-get could not install:$missing (see apt.log)"
    fi
fi
# What the build needs, whatever the package step did.
absent=()
command -v python3 >/dev/null || absent+=("python3")
command -v g++ >/dev/null || command -v c++ >/dev/null || absent+=("a C++ compiler (g++)")
command -v make >/dev/null || absent+=("make")
if command -v pkg-config >/dev/null; then
    pkg-config --exists fftw3f || absent+=("FFTW single precision (fftw3f, libfftw3-dev)")
    pkg-config --exists libpng || absent+=("libpng (libpng-dev)")
    pkg-config --exists ompi-cxx || pkg-config --exists ompi || absent+=("MPI (libopenmpi-dev)")
else
    absent+=("pkg-config")
fi
[ -f /usr/include/gtest/gtest.h ] || pkg-config --exists gtest 2>/dev/null || absent+=("googletest (libgtest-dev)")
command -v mpirun >/dev/null || absent+=("mpirun (openmpi-bin)")
[ -f /usr/include/pybind11/pybind11.h ] || absent+=("pybind11 (pybind11-dev)")
command -v python3 >/dev/null && { python3 -c 'import numpy' 2>/dev/null || absent+=("numpy (python3-numpy)"); }
CMAKE_VERSION="$(cmake --version 2>/dev/null | head -1 | grep -o '[0-9][0-9.]*' | head -1)"
if [ -z "$CMAKE_VERSION" ]; then absent+=("cmake 3.25 or newer")
elif ! printf '3.25\n%s\n' "$CMAKE_VERSION" | sort -V -C; then absent+=("cmake 3.25 or newer (cmake $CMAKE_VERSION is installed)"); fi
if [ "${#absent[@]}" -gt 0 ]; then
    nothing_checked "the build needs what this machine lacks: $(IFS=,; echo "${absent[*]}" | sed 's/,/, /g')"
fi

start=$SECONDS
if [ -n "${DEVICE_CHECK_BUILT:-}" ]; then
    note "using the build in $BUILD"
else
    # nvcc compiles the architectures of one file in parallel.
    : >"$LOGS/build.log"
    cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DSKARBEL_CUDA=ON -DCMAKE_CUDA_COMPILER="$NVCC" \
        -DCMAKE_CUDA_FLAGS="--threads=0" -DSKARBEL_BUILD_BENCH=OFF >>"$LOGS/build.log" 2>&1 ||
        nothing_checked "configure failed: $(grep -m1 -E 'CMake Error|Could NOT|not found' "$LOGS/build.log" || tail -1 "$LOGS/build.log")"
    status=124
    [ "$(left)" -gt 0 ] && { timeout -k 5 "$(left)" cmake --build "$BUILD" -j "$JOBS" >>"$LOGS/build.log" 2>&1; status=$?; }
    if timed_out "$status" || [ "$(left)" = 0 ]; then
        not_run "everything: the build took the whole budget ($((SECONDS - start)) s, see build.log)"
        finish
    fi
    [ "$status" = 0 ] ||
        nothing_checked "the build failed: $(grep -m1 -E 'error|Error' "$LOGS/build.log" | cut -c1-300)"
    note "built (CUDA architectures $(grep -m1 '^CMAKE_CUDA_ARCHITECTURES' "$BUILD/CMakeCache.txt" | cut -d= -f2)) in $((SECONDS - start)) s"
fi
SKARBEL="$BUILD/skarbel"
SKARBEL_MPI="$BUILD/skarbel-mpi"
PHANTOM="$BUILD/tools/skarbel_phantom"
MODULE_DIR="$BUILD/python"
for f in "$SKARBEL" "$SKARBEL_MPI" "$PHANTOM"; do
    [ -x "$f" ] || nothing_checked "the build made no $f"
done
{ ls "$MODULE_DIR"/skarbel*.so || ls "$MODULE_DIR"/skarbel.py; } >/dev/null 2>&1 ||
    nothing_checked "the build made no Python module in $MODULE_DIR"
# As root (a bare machine) Open MPI refuses to start without being told.
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1

# ---- 3. one probe of the GPU ----
cd "$WORK" || nothing_checked "cannot enter $WORK"
# Tilt-symmetric angles (angle(N - t) = -angle(t)), so that level 3 runs as
# itself: 61 and 9 tilts (odd counts), 60 (even).
{ echo -60; seq -59 2 59; } >sym61.tlt
{ echo -60; seq -56 16 56; } >sym9.tlt
{ echo -60; seq -58 2 58; } >sym60.tlt
printf -- '-30\n30\n' >wide.tlt
"$PHANTOM" -x512 -y13 -z256 -t61 -r60 -s1 small >/dev/null 2>&1 || nothing_checked "the phantom tool failed"
rm -f small_truth.mrc
probe_status=0
[ "$(left)" -gt 0 ] || { not_run "everything: no time left for the probe"; finish; }
timeout -k 5 "$(limit_of 60)" "$SKARBEL" --estimate -g0 -z256 sym61.tlt small.mrc probe.mrc \
    >"$LOGS/probe.out" 2>"$LOGS/probe.err" || probe_status=$?
timed_out "$probe_status" && { not_run "everything: no time left for the probe"; finish; }
if [ "$probe_status" != 0 ]; then
    nothing_checked "skarbel cannot use the GPU (status $probe_status): $(grep -m1 . "$LOGS/probe.err")"
fi
if grep -qi "warning" "$LOGS/probe.err"; then
    nothing_checked "skarbel cannot use the GPU: $(grep -m1 -i warning "$LOGS/probe.err")"
fi
line="$(head -1 "$LOGS/probe.err")"
[[ "$line" =~ ^"Using device "[0-9]+": $GPU_NAME"$ ]] ||
    nothing_checked "skarbel does not select the GPU; its device line is '$line'"
pass "probe: $line; $(grep -m1 'Device memory' "$LOGS/probe.out")"

# ---- 4. GPU against host ----
# Each pair: the GPU run, then the host run, each under its own cap and the
# budget left; the volumes (headers included) must be identical, bit for bit:
# WBP levels 0 to 2 add in a fixed order; level 3 and SIRT add with atomics,
# but each target gets at most two additions into zero, which give the same
# bits in either order, and neither side fuses multiply-adds. A run cut short
# by the budget leaves its case not run; one that passes its own cap fails.
TIMES=""
# Sets why (failures) and cut (set when the budget ended a run) from a run's status.
judge_run() {  # side status limit cap err_file
    if timed_out "$2"; then
        if [ "$3" -lt "$4" ]; then cut=1; else why="$why $1 run passed its $4 s cap;"; fi
    elif [ "$2" != 0 ]; then
        why="$why $1 run status $2: $(head -c 300 "$5" | tr '\n' ' ');"
    fi
}
# Runs `gpu_command` and `host_command` (the host one with CUDA hidden), each
# writing `result`, and compares what they wrote. kind: cli (device line and
# standard output compared too), mpi (device line) or module.
compare_pair() {  # label cap kind raw gpu_result host_result -- gpu command... -- host command...
    local label="$1" cap="$2" kind="$3" raw="$4" g="$5" h="$6"
    shift 7
    local gpu_cmd=() host_cmd=()
    while [ "$1" != "--" ]; do gpu_cmd+=("$1"); shift; done
    shift
    host_cmd=("$@")
    if [ "$(left)" -lt 5 ]; then not_run "$label: no time left"; return; fi
    local t0 t1 t2 gs=0 hs=0 limit_g limit_h why="" cut=0
    limit_g=$(limit_of "$cap")
    t0=$(date +%s.%N)
    timeout -k 5 "$limit_g" "${gpu_cmd[@]}" >"$WORK/$label.gpu.out" 2>"$WORK/$label.gpu.err" || gs=$?
    t1=$(date +%s.%N)
    limit_h=$(limit_of "$cap")
    if [ "$limit_h" -gt 0 ]; then
        CUDA_VISIBLE_DEVICES= timeout -k 5 "$limit_h" "${host_cmd[@]}" >"$WORK/$label.host.out" 2>"$WORK/$label.host.err" || hs=$?
    else
        hs=124
    fi
    t2=$(date +%s.%N)
    TIMES="$TIMES$(awk -v l="$label" -v a="$t0" -v b="$t1" -v c="$t2" \
        'BEGIN { printf "%-22s %8.2f %8.2f %7.1fx", l, b - a, c - b, (c - b) / (b - a + 1e-9) }')"$'\n'
    cp "$WORK/$label.gpu.err" "$WORK/$label.host.err" "$LOGS/" 2>/dev/null
    judge_run GPU "$gs" "$limit_g" "$cap" "$WORK/$label.gpu.err"
    judge_run host "$hs" "$limit_h" "$cap" "$WORK/$label.host.err"
    if [ -z "$why" ] && [ "$cut" = 1 ]; then
        not_run "$label: the budget ended a run (GPU status $gs, host $hs)"
        rm -f "$g" "$h"
        return
    fi
    if [ "$kind" != module ]; then
        local line
        line="$(head -1 "$WORK/$label.gpu.err")"
        [[ "$line" =~ ^"Using device "[0-9]+": $GPU_NAME"$ ]] || why="$why the GPU run's device line is '$line';"
    fi
    grep -q "using symmetry level 2" "$WORK/$label.gpu.err" "$WORK/$label.host.err" &&
        why="$why level 3 fell back to level 2;"
    grep -qi "warning" "$WORK/$label.gpu.err" && why="$why GPU run warned: $(grep -m1 -i warning "$WORK/$label.gpu.err");"
    if [ "$kind" = cli ]; then
        cmp -s "$WORK/$label.gpu.out" "$WORK/$label.host.out" || why="$why standard output differs;"
    fi
    local verdict=""
    if [ -f "$g" ] && [ -f "$h" ]; then
        if [ "$raw" = raw ]; then verdict="$(compare_volumes --raw "$g" "$h" 2>&1)" || why="$why volumes differ;"
        else verdict="$(compare_volumes "$g" "$h" 2>&1)" || why="$why volumes differ;"; fi
    elif [ -z "$why" ]; then
        why="$why a volume is missing;"
    fi
    if [ -z "$why" ]; then pass "$label: $verdict"; else fail "$label:$why ${verdict:-}"; fi
    rm -f "$g" "$h"
}
run_case() {  # label cap stem tlt options...
    local label="$1" cap="$2" stem="$3" tlt="$4"
    shift 4
    compare_pair "$label" "$cap" cli mrc "$WORK/$label.gpu.mrc" "$WORK/$label.host.mrc" -- \
        "$SKARBEL" "$@" "$tlt" "$stem.mrc" "$WORK/$label.gpu.mrc" -- \
        "$SKARBEL" "$@" "$tlt" "$stem.mrc" "$WORK/$label.host.mrc"
}
# The module's reconstruct on the stack (read with numpy), its array's bytes written raw.
module_case() {  # label cap stem tlt keywords (Python)
    local label="$1" cap="$2" stem="$3" tlt="$4" keywords="$5" py
    py='import sys, numpy as np, skarbel
stem, tlt, out, keywords = sys.argv[1:5]
h = np.fromfile(stem + ".mrc", np.int32, 256)
nx, ny, nz, ext = h[0], h[1], h[2], h[23]
stack = np.fromfile(stem + ".mrc", np.float32, offset=1024 + ext).reshape(nz, ny, nx)
angles = np.loadtxt(tlt, dtype=np.float32, usecols=0)[:nz]
volume = eval("skarbel.reconstruct(stack, angles, " + keywords + ")")
np.ascontiguousarray(volume, np.float32).tofile(out)'
    compare_pair "$label" "$cap" module raw "$WORK/$label.gpu.raw" "$WORK/$label.host.raw" -- \
        env PYTHONPATH="$MODULE_DIR" python3 -c "$py" "$stem" "$tlt" "$WORK/$label.gpu.raw" "gpu=0, $keywords" -- \
        env PYTHONPATH="$MODULE_DIR" python3 -c "$py" "$stem" "$tlt" "$WORK/$label.host.raw" "$keywords"
}
mpi_case() {  # label cap stem tlt options...
    local label="$1" cap="$2" stem="$3" tlt="$4"
    shift 4
    compare_pair "$label" "$cap" mpi mrc "$WORK/$label.gpu.mrc" "$WORK/$label.host.mrc" -- \
        mpirun --oversubscribe -np 2 "$SKARBEL_MPI" "$@" "$tlt" "$stem.mrc" "$WORK/$label.gpu.mrc" -- \
        "$SKARBEL" "$@" "$tlt" "$stem.mrc" "$WORK/$label.host.mrc"
}

start=$SECONDS
# 4200 x 4200 = 17 640 000 pixels per slice, more than 2^24, three slices in one
# batch (sub-batches of 2 and 1); few tilts keep it quick.
"$PHANTOM" -x4200 -y3 -z4200 -t9 -r60 -s1 large >/dev/null 2>&1 || fail "phantom large could not be written"
# Odd width and thickness, 7 slices, an even tilt count.
"$PHANTOM" -x301 -y7 -z77 -t60 -r60 -s1 odd >/dev/null 2>&1 || fail "phantom odd could not be written"
# 1 048 600 pixels wide: the matrix kernels' y axis needs 65 538 blocks.
pattern_stack wide.mrc 1048600 1 2 || fail "stack wide could not be written"
rm -f large_truth.mrc odd_truth.mrc
note "stacks written in $((SECONDS - start)) s"
# 13 slices: one batch of 13 (sub-batches of 7 and 6), or batches of 4 (sub-batches
# of 2 and 2, and a last batch of one slice, which runs the single-slice products).
for level in 0 1 2 3; do
    run_case "small-s$level" 60 small sym61.tlt "-s$level"
    run_case "small-s$level-b4" 60 small sym61.tlt "-s$level" --batch=4
    run_case "odd-s$level" 60 odd sym60.tlt "-s$level"
    run_case "large-s$level" 120 large sym9.tlt "-s$level" --batch=3
done
run_case small-sirt 60 small sym61.tlt -S -i10
run_case small-sirt-b4 60 small sym61.tlt -S -i10 --batch=4
run_case odd-sirt 60 odd sym60.tlt -S -i10
run_case large-sirt 120 large sym9.tlt -S -i2 --batch=3
run_case wide-s2 60 wide wide.tlt -z3
run_case wide-sirt 60 wide wide.tlt -z3 -S -i2
# This round's options together (binned, shifted, tilted about X, 16-bit floats, XY sections).
run_case options 60 small sym61.tlt -z200 --shift=3,-2 --offset=1.5,2 --xaxis-tilt=4 --bin=2 --mode=12 --rotx \
    --sirt-like=10
module_case module-s3 60 odd sym60.tlt 'level=3'
module_case module-sirt 60 odd sym60.tlt 'method="sirt", iterations=5'
mpi_case mpi-s2 60 small sym61.tlt -s2 --batch=4
mpi_case mpi-sirt 60 odd sym60.tlt -S -i5
# Plans and the pipeline's worker must run on the selected GPU, not on device 0.
if [ "$GPU_COUNT" -gt 1 ]; then
    run_case "small-s3-g$((GPU_COUNT - 1))" 60 small sym61.tlt -s3 "-g$((GPU_COUNT - 1))"
    run_case "small-sirt-g$((GPU_COUNT - 1))" 60 small sym61.tlt -S -i3 "-g$((GPU_COUNT - 1))"
else
    note "one GPU: the runs on a GPU other than device 0 need several"
fi
rm -f small.mrc large.mrc odd.mrc wide.mrc
cd "$ROOT" || finish
note ""
note "$(printf '%-22s %8s %8s %8s' case "GPU s" "host s" "host/GPU")"
note "${TIMES%$'\n'}"
note ""

# ---- 5. the CUDA instances of the tests ----
# The backend instances are named <test>/cuda, <test>/cuda_<case> or <test>/<case>_cuda
# (ctest appends "  # GetParam() = ..." to the names). Every one must run and pass.
CUDA_TESTS='/(cuda(_[A-Za-z0-9]+)?|[A-Za-z0-9_]+_cuda)( |$)'
if [ "$(left)" -lt 20 ]; then
    not_run "CUDA tests: no time left"
else
    start=$SECONDS
    registered=$(cd "$BUILD" && ctest -N -R "$CUDA_TESTS" | grep -cE 'Test +#[0-9]+: ')
    # ctest runs several tests at once; each gets a share of the cores.
    (cd "$BUILD" && OMP_NUM_THREADS=$(( JOBS / 4 > 0 ? JOBS / 4 : 1 )) timeout -k 5 "$(left)" \
        ctest -j 4 --timeout 120 -R "$CUDA_TESTS") >"$LOGS/tests_cuda.log" 2>&1
    status=$?
    # One result line per test that ran, all of them CUDA instances.
    lines="$(grep -E 'Test +#[0-9]+: ' "$LOGS/tests_cuda.log")"
    ran=$(grep -c . <<<"$lines")
    passed=$(grep -c ' Passed ' <<<"$lines")
    failed=$(grep -cE '\*\*\*(Failed|Exception)|Skipped|\(Failed\)' <<<"$lines")
    note "CUDA tests: $registered registered, $ran ran, $passed passed, in $((SECONDS - start)) s"
    if [ "$registered" -gt 0 ] && [ "$passed" = "$registered" ]; then pass "every CUDA test ran and passed"
    elif [ "$registered" = 0 ]; then fail "no CUDA test is registered (see tests_cuda.log)"
    elif [ "$failed" -gt 0 ] || ! { timed_out "$status" || grep -q '\*\*\*Timeout' <<<"$lines"; }; then
        fail "CUDA tests skipped, failed or not run (status $status):"
        grep -v ' Passed ' <<<"$lines" | head -30 | tee -a "$SUMMARY"
    else
        not_run "CUDA tests: the budget ended them after $passed of $registered passed"
    fi
fi
note ""

# ---- 6. GPU and host times at a realistic size ----
# 1024 x 1024 projections, 61 tilt-symmetric tilts, thickness 512, all 1024
# slices (a 2 GiB volume); the volumes are compared too. Needs about 100 s.
if [ "$(left)" -lt 100 ]; then
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
    note "$(printf '%-22s %8s %8s %8s' method "GPU s" "host s" "host/GPU")"
    note "${TIMES%$'\n'}"
    note ""
fi

# ---- 7. the host's own tests, for the log only ----
# Their result on a CI machine is known and says nothing about the GPU: they
# never change the status.
if [ "$(left)" -ge 60 ]; then
    start=$SECONDS
    (cd "$BUILD" && OMP_NUM_THREADS=$(( JOBS / 4 > 0 ? JOBS / 4 : 1 )) timeout -k 5 "$(left)" \
        ctest -j 4 --timeout 120 -E "$CUDA_TESTS") >"$LOGS/tests_other.log" 2>&1
    note "INFO  other tests (not counted): $(grep -E 'tests passed|tests failed' "$LOGS/tests_other.log" | tail -1) in $((SECONDS - start)) s"
fi
finish

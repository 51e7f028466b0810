#!/usr/bin/env bash
# scripts/device_check.sh's exit status, with stand-in GPU tools and programs that
# return their input. Arguments: <skarbel> <skarbel_phantom> (unused).
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
w=$(mktemp -d)
trap 'rm -rf "$w"' EXIT
mkdir -p "$w/bin" "$w/built/tools" "$w/built/python" "$w/old"
tool() { printf '#!/bin/bash\n%s\n' "$2" >"$w/$1"; chmod +x "$w/$1"; }
tool bin/nvidia-smi 'case "$*" in *name,compute*) echo "Stand-in GPU, 9.0, 999.9, 81559 MiB" ;; *name*) echo "Stand-in GPU" ;; esac'
tool bin/nvcc 'echo "Cuda compilation tools, release 12.4, V12.4.1"'
tool bin/apt-get 'exit 1'
tool bin/mpirun 'while [ "${1#-}" != "$1" ]; do [ "$1" = -np ] && shift; shift; done; exec "$@"'
tool bin/ctest 'echo "1/1 Test #1: Backends/StandIn.Case/cuda ...   Passed    0.01 sec"'
tool old/cmake 'echo "cmake version 3.20.0"'
# FAKE: old-driver, no-device, slow, or differ (one sample of small-s0's GPU volume changed).
tool built/skarbel 'out=${@: -1}; stack=${@: -2:1}; gpu=1; [ "${CUDA_VISIBLE_DEVICES-unset}" != unset ] && gpu=0
if [ $gpu = 1 ]; then case "${FAKE:-}" in
    old-driver) echo "warning: the CUDA runtime cannot use this machine'"'"'s GPU (CUDA driver version is insufficient for CUDA runtime version); running on the host." >&2; gpu=0 ;;
    no-device) echo "cutil error: no devices supporting CUDA." >&2; exit 1 ;;
    slow) [ "$1" = --estimate ] || sleep 20 ;;
esac; fi
[ $gpu = 1 ] && printf "Using device 0: Stand-in GPU\n\n" >&2 || printf "Using device 0: host CPU\n\n" >&2
[ "$1" = --estimate ] && exit 0 || cp "$stack" "$out"
[ $gpu = 1 ] && [ "${FAKE:-}" = differ ] && [[ "$out" == */small-s0.gpu.mrc ]] && printf "\x01" | dd of="$out" bs=1 seek=1025 conv=notrunc 2>/dev/null
exit 0'
cp "$w/built/skarbel" "$w/built/skarbel-mpi"
tool built/tools/skarbel_phantom 'python3 -c "import struct, sys; open(sys.argv[1] + \".mrc\", \"wb\").write(struct.pack(\"=4i\", 1, 1, 1, 2) + bytes(1012))" "${@: -1}"'
printf 'def reconstruct(stack, angles, **keywords):\n    return stack\n' >"$w/built/python/skarbel.py"

failures=0
expect() {  # status, text of the summary, environment...
    local want=$1 text=$2 got
    shift 2
    env PATH="$w/bin:/usr/bin:/bin" DEVICE_CHECK_BUILT="$w/built" OUT="$w/logs" "$@" \
        bash "$root/scripts/device_check.sh" >"$w/run.log" 2>&1
    got=$?
    [ "$want" = 0 ] && [ "$got" = 2 ] && grep -q "the build needs what this machine lacks" "$w/run.log" &&
        echo "skipped: $(grep NOTHING "$w/run.log")" && exit 77
    [ "$got" = "$want" ] && grep -qF -- "$text" "$w/run.log" && return
    echo "FAIL $* : status $got (want $want), want '$text' in:" && tail -5 "$w/run.log" && failures=$((failures + 1))
}
expect 0 "device check: all checks passed" DEVICE_CHECK_BUDGET=600
expect 1 "FAIL  small-s0: volumes differ; header identical; 1 samples: 1 differ" FAKE=differ
expect 2 "NOTHING CHECKED  skarbel cannot use the GPU: warning: the CUDA runtime cannot use this machine's GPU (CUDA driver version is insufficient" FAKE=old-driver
expect 2 "NOTHING CHECKED  skarbel cannot use the GPU (status 1): cutil error: no devices supporting CUDA." FAKE=no-device
expect 2 "NOTHING CHECKED  nvidia-smi is not installed" PATH="/usr/bin:/bin"
expect 2 "NOTHING CHECKED  the build needs what this machine lacks: cmake 3.25 or newer (cmake 3.20.0 is installed)" PATH="$w/old:$w/bin:/usr/bin:/bin"
expect 3 "NOT RUN  small-s0: the budget ended a run" FAKE=slow DEVICE_CHECK_BUDGET=12
exit $((failures > 0))

#!/usr/bin/env bash
# The exit status of scripts/device_check.sh, with stand-ins for the GPU
# machine: nvidia-smi, nvcc, mpirun and ctest on the PATH, and a built folder
# whose skarbel (and skarbel-mpi, phantom tool and Python module) copy their
# input as their result, naming a stand-in GPU unless CUDA_VISIBLE_DEVICES is
# set. Each status must come out where it should: 0 all passed, 1 a GPU volume
# differs, 2 nothing checked (no GPU, a driver too old, no device, an old
# cmake), 3 the budget ran out. Arguments: <skarbel> <skarbel_phantom> (unused).
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
w=$(mktemp -d)
trap 'rm -rf "$w"' EXIT
mkdir -p "$w/bin" "$w/built/tools" "$w/built/python" "$w/nogpu" "$w/old"
stand_in() { cat >"$w/$1"; chmod +x "$w/$1"; }
stand_in bin/nvidia-smi <<'EOF'
#!/bin/bash
case "$*" in *name,compute*) echo "Stand-in GPU, 9.0, 999.9, 81559 MiB" ;; *name*) echo "Stand-in GPU" ;; esac
EOF
printf '#!/bin/bash\necho "Cuda compilation tools, release 12.4, V12.4.1"\n' | stand_in bin/nvcc
printf '#!/bin/bash\nexit 1\n' | stand_in bin/apt-get
stand_in bin/mpirun <<'EOF'
#!/bin/bash
while [ "${1#-}" != "$1" ]; do [ "$1" = -np ] && shift; shift; done
exec "$@"
EOF
stand_in bin/ctest <<'EOF'
#!/bin/bash
case "$*" in *-N*) echo "  Test #1: Backends/StandIn.Case/cuda" ;;
    *) echo "1/1 Test #1: Backends/StandIn.Case/cuda ...   Passed    0.01 sec" ;; esac
EOF
# FAKE: old-driver, no-device, differ (one sample of small-s0's GPU volume changed) or slow.
stand_in built/skarbel <<'EOF'
#!/bin/bash
args=("$@"); n=${#args[@]}; out=${args[n-1]}; stack=${args[n-2]}
gpu=1; [ "${CUDA_VISIBLE_DEVICES-unset}" != unset ] && gpu=0
if [ $gpu = 1 ]; then case "${FAKE:-}" in
    old-driver) echo "warning: the CUDA runtime cannot use this machine's GPU (CUDA driver version is insufficient for CUDA runtime version); running on the host." >&2; gpu=0 ;;
    no-device) echo "cutil error: no devices supporting CUDA." >&2; exit 1 ;;
    slow) [ "$1" = --estimate ] || sleep 20 ;;
esac; fi
[ $gpu = 1 ] && echo "Using device 0: Stand-in GPU" >&2 || echo "Using device 0: host CPU" >&2
echo >&2
if [ "$1" = --estimate ]; then echo "Device memory available: 1000.00 Mb"; exit 0; fi
cp "$stack" "$out"
[ $gpu = 1 ] && [ "${FAKE:-}" = differ ] && [[ "$out" == */small-s0.gpu.mrc ]] && printf '\x01' | dd of="$out" bs=1 seek=1025 conv=notrunc 2>/dev/null
exit 0
EOF
cp "$w/built/skarbel" "$w/built/skarbel-mpi"
stand_in built/tools/skarbel_phantom <<'EOF'
#!/bin/bash
python3 -c 'import struct, sys; open(sys.argv[1] + ".mrc", "wb").write(struct.pack("=4i", 1, 1, 1, 2) + bytes(1008) + bytes(4))' "${@: -1}"
EOF
printf 'def reconstruct(stack, angles, **keywords):\n    return stack\n' >"$w/built/python/skarbel.py"
cp "$w/bin/nvcc" "$w/nogpu/"
printf '#!/bin/bash\necho "cmake version 3.20.0"\n' | stand_in old/cmake

failures=0
expect() {  # status, text of the summary's last lines, environment...
    local want=$1 text=$2 got
    shift 2
    env PATH="$w/bin:/usr/bin:/bin" DEVICE_CHECK_BUILT="$w/built" OUT="$w/logs" "$@" \
        bash "$root/scripts/device_check.sh" >"$w/run.log" 2>&1
    got=$?
    if [ "$want" = 0 ] && [ "$got" = 2 ] && grep -q "the build needs what this machine lacks" "$w/run.log"; then
        echo "skipped: $(grep NOTHING "$w/run.log")"
        exit 77
    fi
    if [ "$got" != "$want" ] || ! grep -qF -- "$text" "$w/run.log"; then
        echo "FAIL $* : status $got (want $want), want '$text' in:"
        tail -5 "$w/run.log"
        failures=$((failures + 1))
    fi
}
expect 0 "device check: all checks passed" DEVICE_CHECK_BUDGET=600
expect 1 "FAIL  small-s0: volumes differ; header identical; 1 samples: 1 differ" FAKE=differ
expect 2 "NOTHING CHECKED  skarbel cannot use the GPU: warning: the CUDA runtime cannot use this machine's GPU (CUDA driver version is insufficient" FAKE=old-driver
expect 2 "NOTHING CHECKED  skarbel cannot use the GPU (status 1): cutil error: no devices supporting CUDA." FAKE=no-device
expect 2 "NOTHING CHECKED  nvidia-smi is not installed" PATH="$w/nogpu:/usr/bin:/bin"
expect 2 "NOTHING CHECKED  the build needs what this machine lacks: cmake 3.25 or newer (cmake 3.20.0 is installed)" \
    PATH="$w/old:$w/bin:/usr/bin:/bin"
expect 3 "NOT RUN  small-s0: the budget ended a run" FAKE=slow DEVICE_CHECK_BUDGET=12
[ "$failures" = 0 ] && echo "every status as expected"
exit $((failures > 0))

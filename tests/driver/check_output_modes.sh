#!/usr/bin/env bash
# Reads the outputs of --mode, --scale and --rotx with a standard MRC reader
# (Python's mrcfile, strict validation): each must validate, carry the numpy
# type of its MODE, and hold the float run's samples converted by numpy
# (integers rounded half away from zero and clamped; halves by numpy's own
# rounding, clamped where it overflows), or turned about X.
# Arguments: <skarbel> <skarbel_phantom> (only the first is used).
set -euo pipefail
skarbel=$1
py=/usr/bin/python3
if ! "$py" -c 'import mrcfile, numpy' 2>/dev/null; then
    echo "skipped: $py has no mrcfile"
    exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$py" - "$work" <<'PY'
import sys, numpy as np, mrcfile
work = sys.argv[1]
rng = np.random.default_rng(4)
with mrcfile.new(f"{work}/stack.mrc") as m:
    m.set_data(rng.normal(10.0, 2.0, size=(9, 12, 20)).astype(np.float32))
    m.voxel_size = (1.5, 2.5, 1.0)
with open(f"{work}/angles.tlt", "w") as f:
    f.writelines(f"{a:.6f}\n" for a in np.linspace(-60, 60, 9))
PY

run() { local name=$1; shift; CUDA_VISIBLE_DEVICES= "$skarbel" -z7 "$@" "$work/angles.tlt" "$work/stack.mrc" "$work/$name.mrc" >/dev/null 2>&1; }
run float --slices=2,9
for m in 1 6 12; do run m$m --slices=2,9 --mode=$m --scale=0.5,3; done
# Halves whose squares stay finite: numpy's float16 statistics in the validation would overflow otherwise.
run h12 --slices=2,9 --mode=12
run big12 --slices=2,9 --mode=12 --scale=0,1e6
run rotx --slices=2,9 --rotx
run rotx12 --slices=2,9 --rotx --mode=12

"$py" - "$work" <<'PY'
import sys, numpy as np, mrcfile
work = sys.argv[1]
def data(name, validate=True):
    if validate:
        assert mrcfile.validate(f"{work}/{name}.mrc", print_file=sys.stderr), name
    with mrcfile.open(f"{work}/{name}.mrc") as m:
        return m.data.copy(), m.header.copy(), m.voxel_size
f, fh, fv = data("float")
def away(x, lo, hi):
    return np.clip(np.sign(x) * np.floor(np.abs(x) + 0.5), lo, hi)
def half(x):
    h = x.astype(np.float16)
    return np.where(np.isinf(h) & np.isfinite(x), np.sign(x) * 65504, h).astype(np.float16)
x = (f.astype(np.float64) + 0.5) * 3
for name, dtype, expected in [("m1", np.int16, away(x, -32768, 32767)), ("m6", np.uint16, away(x, 0, 65535)),
                              ("m12", np.float16, half(x)), ("h12", np.float16, half(f.astype(np.float64)))]:
    d, h, v = data(name, validate=name != "m12" or np.isfinite(np.square(x.astype(np.float16))).all())
    assert d.dtype == dtype, (name, d.dtype)
    assert np.array_equal(d.astype(np.float64), expected.astype(np.float64)), name
    assert h.dmin == d.min() and h.dmax == d.max(), (name, h.dmin, h.dmax)
    assert int(h.nzstart) == 2 and (v.x, v.y, v.z) == (fv.x, fv.y, fv.z), name
big, _, _ = data("big12", validate=False)
assert np.array_equal(big, half(f.astype(np.float64) * 1e6)), "big12"
assert np.abs(big.astype(np.float64)).max() == 65504, (f.min(), f.max())
for name, source in [("rotx", f), ("rotx12", data("h12")[0])]:
    r, h, v = data(name)
    assert r.dtype == source.dtype
    assert r.shape == (7, 8, 20), r.shape
    assert np.array_equal(r, source.transpose(1, 0, 2)[::-1]), name
    assert (int(h.nystart), int(h.nzstart)) == (2, 0), (h.nystart, h.nzstart)
    assert np.allclose([v.x, v.y, v.z], [1.5, 2.5, 1.5]), v
print("mrcfile reads every mode and the turned volume: types, samples, statistics and voxel sizes agree")
PY

#!/usr/bin/env bash
# Reads the program's output with a standard MRC reader (Python's mrcfile in
# its default, strict mode): the file must open and validate, and its sizes,
# statistics and voxel size must be right. The same for every --mode (each
# holding the float run's samples converted by numpy: integers rounded half
# away from zero, halves by numpy's rounding, clamped) and for --rotx.
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

# A 20 x 12 x 9 float stack with 1.5 A along X and 2.5 A along Y.
"$py" - "$work" <<'PY'
import sys, numpy as np, mrcfile
work = sys.argv[1]
rng = np.random.default_rng(3)
data = rng.normal(10.0, 2.0, size=(9, 12, 20)).astype(np.float32)
with mrcfile.new(f"{work}/stack.mrc") as m:
    m.set_data(data)
    m.voxel_size = (1.5, 2.5, 1.0)
with open(f"{work}/angles.tlt", "w") as f:
    for a in np.linspace(-60, 60, 9):
        f.write(f"{a:.6f}\n")
PY

CUDA_VISIBLE_DEVICES= "$skarbel" -z7 "$work/angles.tlt" "$work/stack.mrc" "$work/out.mrc" >/dev/null

"$py" - "$work/out.mrc" <<'PY'
import sys, numpy as np, mrcfile
path = sys.argv[1]
assert mrcfile.validate(path, print_file=sys.stderr), "mrcfile.validate failed"
with mrcfile.open(path) as m:
    h = m.header
    d = m.data.astype(np.float64)
    assert m.data.dtype == np.float32
    assert (int(h.nx), int(h.ny), int(h.nz)) == (20, 7, 12), (h.nx, h.ny, h.nz)
    assert (int(h.mx), int(h.my), int(h.mz)) == (20, 7, 12), (h.mx, h.my, h.mz)
    assert d.shape == (12, 7, 20), d.shape
    assert h.dmin == np.float32(d.min()) and h.dmax == np.float32(d.max()), (h.dmin, h.dmax)
    assert abs(float(h.dmean) - d.mean()) <= 1e-5 * max(1.0, abs(d.mean())), (h.dmean, d.mean())
    assert abs(float(h.rms) - d.std()) <= 1e-5 * max(1.0, d.std()), (h.rms, d.std())
    vs = m.voxel_size
    assert np.allclose([vs.x, vs.y, vs.z], [1.5, 1.5, 2.5], rtol=1e-6), vs
print("mrcfile reads the output: dims, statistics and voxel size agree")
PY

run() { local name=$1; shift; CUDA_VISIBLE_DEVICES= "$skarbel" -z7 --slices=2,9 "$@" "$work/angles.tlt" "$work/stack.mrc" "$work/$name.mrc" >/dev/null 2>&1; }
run float
for m in 1 6 12; do run m$m --mode=$m --scale=0.5,3; done
run big12 --mode=12 --scale=0,1e6  # clamps; numpy's float16 statistics overflow in the validation
run rotx --rotx
run rotx12 --rotx --mode=12

"$py" - "$work" <<'PY'
import sys, numpy as np, mrcfile
work = sys.argv[1]
def read(name, validate=True):
    assert not validate or mrcfile.validate(f"{work}/{name}.mrc", print_file=sys.stderr), name
    with mrcfile.open(f"{work}/{name}.mrc") as m:
        return m.data.copy(), m.header.copy(), m.voxel_size
f, _, fv = read("float")
away = lambda x, lo, hi: np.clip(np.sign(x) * np.floor(np.abs(x) + 0.5), lo, hi)
half = lambda x: np.where(np.isinf(x.astype(np.float16)) & np.isfinite(x), np.sign(x) * 65504, x).astype(np.float16)
x = (f.astype(np.float64) + 0.5) * 3
for name, dtype, expected in [("m1", np.int16, away(x, -32768, 32767)), ("m6", np.uint16, away(x, 0, 65535)),
                              ("m12", np.float16, half(x)), ("big12", np.float16, half(f * 1e6))]:
    d, h, v = read(name, validate=name != "big12")
    assert d.dtype == dtype and np.array_equal(d.astype(np.float64), expected.astype(np.float64)), name
    assert h.dmin == d.min() and h.dmax == d.max() and int(h.nzstart) == 2 and v == fv, name
assert np.abs(read("big12", False)[0].astype(np.float64)).max() == 65504
for name, source in [("rotx", f), ("rotx12", f.astype(np.float16))]:
    r, h, v = read(name)
    assert r.dtype == source.dtype and np.array_equal(r, source.transpose(1, 0, 2)[::-1]), name
    assert (int(h.nystart), int(h.nzstart)) == (2, 0) and np.allclose([v.x, v.y, v.z], [1.5, 2.5, 1.5]), v
print("mrcfile reads every mode and the turned volume: types, samples, statistics and voxel sizes agree")
PY

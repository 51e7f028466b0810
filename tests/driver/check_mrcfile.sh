#!/usr/bin/env bash
# Reads the program's output with a standard MRC reader (Python's mrcfile in
# its default, strict mode): the file must open and validate, and its sizes,
# statistics and voxel size must be right. The same for every --mode (halves
# as numpy rounds the float run's samples) and for --rotx. And the phantom's
# files, in both byte orders, as floats and as 16-bit integers (MODE 0 is left
# out: skarbel reads its bytes as unsigned, the MRC2014 standard as signed, so
# a standard reader sees other statistics).
# Arguments: <skarbel> <skarbel_phantom>.
set -euo pipefail
skarbel=$1 phantom=$2
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
run float; run m1 --mode=1; run m6 --mode=6 --scale=1,3; run m12 --mode=12 --scale=0.5,3; run rotx --rotx --mode=12
"$py" - "$work" <<'PY'
import sys, numpy as np, mrcfile
read = lambda name: mrcfile.validate(f"{sys.argv[1]}/{name}.mrc", print_file=sys.stderr) and mrcfile.open(f"{sys.argv[1]}/{name}.mrc")
f, m1, m6, m12, r = (read(n) for n in ("float", "m1", "m6", "m12", "rotx"))
assert (m1.data.dtype, m6.data.dtype, m12.data.dtype) == (np.int16, np.uint16, np.float16)
assert np.array_equal(m12.data, ((f.data.astype(np.float64) + 0.5) * 3).astype(np.float16))  # numpy's own rounding
assert np.array_equal(r.data, f.data.astype(np.float16).transpose(1, 0, 2)[::-1]) and (r.header.nystart, r.header.nzstart) == (2, 0)
assert np.allclose(r.voxel_size.tolist(), [1.5, 2.5, 1.5]) and m12.header.dmax == m12.data.max()
print("mrcfile reads every mode and the turned volume")
PY

for options in "-m2" "-m2 -b" "-m1" "-m1 -b"; do
    # shellcheck disable=SC2086
    "$phantom" -x40 -y12 -z20 -t7 -r45 $options "$work/p" >/dev/null
    "$py" - "$work/p.mrc" "$work/p_truth.mrc" <<'PY'
import sys, mrcfile, numpy as np
stack, truth = sys.argv[1], sys.argv[2]
for name in (stack, truth):
    assert mrcfile.validate(name, print_file=sys.stderr), f"{name} does not validate"
with mrcfile.open(stack) as m:
    assert m.data.shape == (7, 12, 40) and m.is_image_stack(), m.data.shape
with mrcfile.open(truth) as m:
    assert m.data.shape == (12, 20, 40) and m.is_volume(), m.data.shape
    d = m.data.astype(np.float64)
    assert abs(float(m.header.dmean) - d.mean()) <= 1e-5 * max(1.0, abs(d.mean()))
    assert abs(float(m.header.rms) - d.std()) <= 1e-5 * max(1.0, d.std())
PY
done
echo "the phantom's files validate"

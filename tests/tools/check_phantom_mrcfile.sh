#!/usr/bin/env bash
# The phantom's files open in a standard MRC reader (Python's mrcfile, default
# mode) and pass its validator, in both byte orders, as floats and as 16-bit
# integers. (MODE 0 is left out: skarbel reads its bytes as unsigned, the
# MRC2014 standard as signed, so a standard reader sees other statistics.)
# Arguments: <skarbel> <skarbel_phantom>. Exit 77 (skipped) without mrcfile.
set -euo pipefail
phantom="$2"
python=/usr/bin/python3
if ! "$python" -c "import mrcfile, numpy" 2>/dev/null; then
    echo "mrcfile not available; skipping"
    exit 77
fi
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT

for options in "-m2" "-m2 -b" "-m1" "-m1 -b"; do
    # shellcheck disable=SC2086
    "$phantom" -x40 -y12 -z20 -t7 -r45 $options "$dir/p" >/dev/null
    "$python" - "$dir/p.mrc" "$dir/p_truth.mrc" <<'PY'
import sys, mrcfile, numpy as np
stack, truth = sys.argv[1], sys.argv[2]
for name in (stack, truth):
    if not mrcfile.validate(name, print_file=open("/dev/null", "w")):
        mrcfile.validate(name)
        sys.exit(f"{name} does not validate")
with mrcfile.open(stack) as m:
    assert m.data.shape == (7, 12, 40), m.data.shape
    assert m.is_image_stack()
with mrcfile.open(truth) as m:
    assert m.data.shape == (12, 20, 40), m.data.shape
    assert m.is_volume()
    d = m.data.astype(np.float64)
    assert abs(float(m.header.dmean) - d.mean()) <= 1e-5 * max(1.0, abs(d.mean()))
    assert abs(float(m.header.rms) - d.std()) <= 1e-5 * max(1.0, d.std())
PY
done
echo "phantom files validate"

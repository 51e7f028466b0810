#!/usr/bin/env bash
# scripts/device_check.sh --compare, with numpy and without: equal values pass,
# any changed sample, one-sided NaN, header word or length fails.
# Arguments: <skarbel> <skarbel_phantom> (unused).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
command -v python3 >/dev/null || { echo "skipped: no python3"; exit 77; }

# A header and 1 100 000 floats (two 4 MiB reads), and variants changed in the second read.
python3 - "$work" <<'PY'
import struct, sys
from array import array
w = sys.argv[1]
header = bytearray(range(256)) * 4
data = array("f", [(i % 1000) * 0.25 - 100.0 for i in range(1000)]) * 1100
def write(name, h=header, d=data, cut=0):
    raw = bytes(h) + d.tobytes()
    open(f"{w}/{name}", "wb").write(raw[:len(raw) - cut])
def changed(index, value):
    d = array("f", data)
    d[index] = value
    return d
def with_bits(pairs):
    d = array("f", data)
    raw = bytearray(d.tobytes())
    for index, word in pairs:
        raw[4 * index:4 * index + 4] = struct.pack("<I", word)
    return array("f", bytes(raw))
write("ref")
write("same")
write("one_sample", d=changed(1090000, data[1090000] + 0.5))
write("nan_ref", d=with_bits([(1050000, 0x7FC00000), (1099999, 0x00000000)]))
write("nan_other", d=with_bits([(1050000, 0x7FC00001), (1099999, 0x80000000)]))
write("nan_one_side", d=changed(1060000, float("nan")))
write("inf_pos", d=changed(1050005, float("inf")))
write("inf_neg", d=changed(1050005, float("-inf")))
h = bytearray(header)
h[76:80] = struct.pack("<f", -1.0)
write("dmin", h=h)
write("short", cut=4)
PY

failures=0
expect() {  # status, text the line must hold, file a, file b
    local want=$1 text=$2 line status
    line=$(bash "$root/scripts/device_check.sh" --compare "$work/$3" "$work/$4") && status=0 || status=$?
    if [ "$status" != "$want" ] || [[ "$line" != *"$text"* ]]; then
        echo "FAIL $3 vs $4 ($mode): status $status (want $want): $line (want: $text)"
        failures=$((failures + 1))
    fi
}
run_all() {
    expect 0 "header identical; 1100000 samples: 0 differ (0 NaN on one side only), largest difference 0, 0 equal in value but not in bits" ref same
    expect 1 "1 differ (0 NaN on one side only), largest difference 0.5," ref one_sample
    expect 0 "0 differ (0 NaN on one side only), largest difference 0, 2 equal in value but not in bits" nan_ref nan_other
    expect 1 "1 differ (1 NaN on one side only), largest difference inf" ref nan_one_side
    expect 1 "1 differ (1 NaN on one side only), largest difference inf" nan_one_side ref
    expect 1 "1 differ (0 NaN on one side only), largest difference inf" inf_pos inf_neg
    expect 1 "header differs at bytes 76(DMIN); 1100000 samples: 0 differ" ref dmin
    expect 1 "FILE SIZES DIFFER" ref short
}

# Without numpy: a numpy that cannot be imported comes first on the path.
mkdir -p "$work/no_numpy/numpy"
echo 'raise ImportError("hidden for the test")' >"$work/no_numpy/numpy/__init__.py"
mode="plain python" PYTHONPATH="$work/no_numpy" run_all
if python3 -c 'import numpy' 2>/dev/null; then mode=numpy run_all
elif /usr/bin/python3 -c 'import numpy' 2>/dev/null; then mode=numpy PATH="/usr/bin:$PATH" run_all
else echo "numpy not installed: its path not checked"; fi
[ "$failures" = 0 ] && echo "all comparisons as expected"
exit $((failures > 0))

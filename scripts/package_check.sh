#!/usr/bin/env bash
# Builds the Debian package from a finished build folder and the Python wheel
# with pip's backend, installs each into a fresh place and runs what was
# installed: the programs, the manual page and the completion from the
# package; the module from a new virtual environment, outside the sources.
# Both reconstructions must equal the build's own program byte for byte.
#
#   scripts/package_check.sh [build folder, default build]
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
cd "$ROOT"
build="$(cd "${1:-build}" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# The host device for every run, so that the bytes compare on a GPU machine too.
export CUDA_VISIBLE_DEVICES=

echo "== Debian package"
rm -f "$build"/skarbel_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb="$(ls "$build"/skarbel_*.deb)"
echo "$deb"
dpkg-deb -f "$deb" Package Version Architecture Depends
dpkg-deb -c "$deb" | awk '{print $6}'
dpkg -x "$deb" "$work/root"
bin="$work/root/usr/bin"
[ "$("$bin/skarbel" --version)" = "$("$build/skarbel" --version)" ] || { echo "installed --version differs" >&2; exit 1; }
"$bin/skarbel" --version
"$bin/skarbel_phantom" -x48 -y6 -z24 -t25 "$work/phantom" >/dev/null
"$bin/skarbel" -z24 "$work/phantom.tlt" "$work/phantom.mrc" "$work/installed.mrc" >/dev/null 2>&1
"$build/skarbel" -z24 "$work/phantom.tlt" "$work/phantom.mrc" "$work/built.mrc" >/dev/null 2>&1
cmp "$work/installed.mrc" "$work/built.mrc"
man -l "$work/root/usr/share/man/man1/skarbel.1.gz" 2>/dev/null | grep -q "EXIT STATUS"
bash -c "source '$work/root/usr/share/bash-completion/completions/skarbel' && complete -p skarbel" >/dev/null
echo "installed package: --version, reconstruction equal to the build's, man page, completion: OK"

echo "== Python wheel"
# The core and the module only, without CUDA: the program's build above checks CUDA.
export SKARBEL_CUDA=OFF CMAKE_BUILD_PARALLEL_LEVEL="$JOBS"
if /usr/bin/python3 -c "import build" 2>/dev/null; then
    /usr/bin/python3 -m build --wheel --no-isolation --outdir "$work/dist" . >"$work/wheel.log" 2>&1 ||
        { cat "$work/wheel.log"; exit 1; }
else
    /usr/bin/python3 -m pip wheel --no-build-isolation --no-deps -w "$work/dist" . >"$work/wheel.log" 2>&1 ||
        { cat "$work/wheel.log"; exit 1; }
fi
wheel="$(ls "$work"/dist/skarbel-*.whl)"
echo "$wheel"
/usr/bin/python3 -m zipfile -l "$wheel"
/usr/bin/python3 -m venv --system-site-packages "$work/venv"
"$work/venv/bin/python" -m pip install --quiet --no-index --no-deps "$wheel"
(cd "$work" && "$work/venv/bin/python" - "$work" "$("$build/skarbel" --version)" <<'PY'
import sys
import mrcfile
import numpy
import skarbel

work, version = sys.argv[1], sys.argv[2]
assert skarbel.__file__.startswith(work + "/venv/"), skarbel.__file__
assert "skarbel " + skarbel.__version__ == version, (skarbel.__version__, version)
with mrcfile.open(work + "/phantom.mrc", permissive=True) as m:
    stack = m.data.copy()
angles = [float(line.split()[0]) for line in open(work + "/phantom.tlt")]
volume = skarbel.reconstruct(stack, angles, thickness=24)
with mrcfile.open(work + "/built.mrc", permissive=True) as m:
    expected = m.data
assert volume.dtype == numpy.float32 and volume.shape == expected.shape, (volume.shape, expected.shape)
assert volume.tobytes() == expected.astype(numpy.float32).tobytes(), "reconstruction differs"
print("installed wheel: skarbel", skarbel.__version__, "from", skarbel.__file__)
PY
)
echo "installed wheel: reconstruction equal to the program's: OK"

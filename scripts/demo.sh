#!/usr/bin/env bash
# Builds skarbel, makes an analytic phantom tilt series (256 x 256, 61 tilts
# from -60 to 60 degrees), reconstructs it and writes a picture of the central
# slice beside the ground truth. Everything goes into demo-out/.
#
#   scripts/demo.sh          weighted back-projection (the default method)
#   scripts/demo.sh --sirt   SIRT instead
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
cd "$ROOT"

method=()
method_name="WBP"
for arg in "$@"; do
    case "$arg" in
        --sirt) method=(-S); method_name="SIRT" ;;
        *) echo "usage: scripts/demo.sh [--sirt]" >&2; exit 2 ;;
    esac
done

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DSKARBEL_CUDA="$(cuda_option)"
cmake --build build -j "$JOBS" --target skarbel skarbel_phantom skarbel_slice_png

out=demo-out
mkdir -p "$out"
echo
build/tools/skarbel_phantom -x256 -y256 -z128 -t61 -r60 "$out/phantom"

run=(build/skarbel -z128 "${method[@]}" "$out/phantom.tlt" "$out/phantom.mrc" "$out/reconstruction.mrc")
echo
echo "Reconstructing ($method_name): ${run[*]}"
"${run[@]}"

build/tools/skarbel_slice_png "$out/central_slice.png" "$out/reconstruction.mrc" "$out/phantom_truth.mrc"

echo "Reconstruction: $out/reconstruction.mrc (256 x 128 x 256)"
echo "Ground truth:   $out/phantom_truth.mrc"
echo "Central slice, reconstruction (left) beside ground truth (right): $out/central_slice.png"

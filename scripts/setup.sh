# Sourced by demo.sh and test.sh: installs what the build needs (when run as
# root on Debian) and sets ROOT and JOBS.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
JOBS="$(nproc 2>/dev/null || echo 2)"

PACKAGES="cmake g++ make pkg-config libfftw3-dev libgtest-dev libbenchmark-dev libomp-dev libpng-dev libopenmpi-dev openmpi-bin python3 python3-mrcfile python3-numpy python3-dev python3-pytest pybind11-dev dpkg-dev file man-db python3-setuptools python3-pip python3-venv python3-build"

missing_packages() {
    local p missing=""
    for p in $PACKAGES; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
    done
    echo "$missing"
}

if command -v dpkg-query >/dev/null 2>&1; then
    MISSING="$(missing_packages)"
    if [ -n "$MISSING" ]; then
        if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
            echo "Installing:$MISSING"
            apt-get update -qq
            DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $MISSING >/dev/null
        else
            echo "Missing packages:$MISSING (run as root to install them)" >&2
        fi
    fi
fi

# Forces the CUDA backend on where nvcc is installed, so a broken CUDA build fails.
cuda_option() {
    if [ -x /usr/local/cuda/bin/nvcc ] || command -v nvcc >/dev/null 2>&1; then echo ON; else echo AUTO; fi
}

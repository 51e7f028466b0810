#!/usr/bin/env bash
# Builds skarbel and runs all tests: an optimised build (with the CUDA backend
# where nvcc is present), its Debian package and the Python wheel installed and
# run, the slice pipeline under ThreadSanitizer, then the same tests under
# AddressSanitizer and UndefinedBehaviorSanitizer.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
cd "$ROOT"

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DSKARBEL_CUDA="$(cuda_option)"
cmake --build build -j "$JOBS"
(cd build && ctest --output-on-failure -j "$JOBS")
# The Debian package and the wheel, installed into fresh places and run.
bash scripts/package_check.sh build

cmake -S tests/tsan -B build-tsan
cmake --build build-tsan -j "$JOBS"
(cd build-tsan && ctest --output-on-failure)

# -O1, as the sanitizers advise: at -O2 the instrumented vector forms alone
# take minutes to compile.
cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g -DNDEBUG" \
    -DSKARBEL_CUDA=OFF -DSKARBEL_SANITIZE=ON -DSKARBEL_BUILD_BENCH=OFF
cmake --build build-sanitize -j "$JOBS"
# The position tests (two minutes under the sanitizers) and the device script's
# stand-ins run in the optimised build only, to keep CI within its time.
(cd build-sanitize && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --output-on-failure -j "$JOBS" -E '^(Position\.|check_device_status$)')

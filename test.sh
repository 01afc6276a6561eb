#!/usr/bin/env bash
# Installs what is missing, builds the check build (AddressSanitizer and UBSan) and runs
# every test. Exits non-zero on any failure. Incremental: fast when nothing changed.
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh

build=build/check
if [[ ! -f $build/build.ninja ]]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKORVANE_SANITIZE=ON >/dev/null
fi
cmake --build "$build"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# A hung test fails after ten minutes instead of holding the run until its limit.
ctest --test-dir "$build" --output-on-failure --timeout 600 -j "$(nproc)"

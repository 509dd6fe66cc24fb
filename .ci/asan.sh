#!/usr/bin/env bash
# CI: the whole test suite in a build with AddressSanitizer and UBSan (build-asan), without
# the benchmarks. Warnings are not errors here: the normal build checks them, and gcc's
# flow analysis reports false ones in the standard headers under the sanitizers.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-asan
cmake -S . -B "$build" -G Ninja -DTOLVA_ASAN=ON -DTOLVA_WERROR=OFF -DTOLVA_BENCH=OFF >/dev/null
cmake --build "$build"
ctest --test-dir "$build" -j"$(nproc)" --output-on-failure --timeout 300

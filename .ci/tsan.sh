#!/usr/bin/env bash
# ThreadSanitizer: the tunnel's tests (suites Tunnel*) and the frame layer's (Frames*,
# Channel*) in a -DTOLVA_TSAN=ON build. A report fails the test that caused it: through the
# test process's exit status, or through the tunnel program's standard error, which the
# tunnel's system tests check.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-tsan}
cmake -S . -B "$build" -G Ninja -DTOLVA_TSAN=ON -DTOLVA_WERROR=ON -DTOLVA_BENCH=OFF >/dev/null
cmake --build "$build"
ctest --test-dir "$build" -R '^(Tunnel|Frames|Channel)' -j"$(nproc)" --output-on-failure --no-tests=error \
    --timeout 300

#!/usr/bin/env bash
# Builds everything and runs every test (unit and system) in parallel. Run as root: the
# system tests make private mount namespaces.
set -euo pipefail
cd "$(dirname "$0")/.."
bash setup.sh
build=${BUILD_DIR:-build}
werror=OFF
if [ "${CI:-}" = true ]; then werror=ON; fi
cmake -S . -B "$build" -G Ninja -DTOLVA_WERROR=$werror >/dev/null
cmake --build "$build"
ctest --test-dir "$build" -j"$(nproc)" --output-on-failure --timeout 300

#!/usr/bin/env bash
# CI: the whole tree built for 32-bit x86 on the x86-64 host (g++-multilib), every test run
# there, and the i386 package built and checked.
set -euo pipefail
cd "$(dirname "$0")/.."
echo "== i386: build and test"
build=build-i386
cmake -S . -B "$build" -G Ninja -DTOLVA_WERROR=ON \
    -DCMAKE_TOOLCHAIN_FILE=cmake/i386-linux-gnu.cmake
cmake --build "$build"
ctest --test-dir "$build" -j"$(nproc)" --output-on-failure --timeout 300

echo "== i386: package"
bash packaging/check-package.sh "$build"

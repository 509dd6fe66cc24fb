#!/usr/bin/env bash
# CI: the simulator's concurrent parts (a thread per connection, relay threads, the journal)
# under ThreadSanitizer, driven by the tests of the layer and of the array's tunnel side.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-tsan-sim
cmake -S . -B "$build" -G Ninja -DTOLVA_TSAN=ON -DTOLVA_WERROR=ON -DTOLVA_BENCH=OFF >/dev/null
cmake --build "$build" --target system_array_tunnel system_rig_layer tolva_sglayer tolva-sim
layer=$(realpath "$build/sim/layer/x86_64/libtolva_sglayer.so")
for test in system_array_tunnel system_rig_layer; do
    LD_PRELOAD=$layer TSAN_OPTIONS="halt_on_error=1" "$build/tests/$test"
done

#!/usr/bin/env bash
# CI: the concurrent parts under ThreadSanitizer: the simulator's (its workers, relay threads,
# the journal), driven by the tests of the layer and of the array's tunnel side, and the
# frame layer's link state, driven by its unit tests and by its tests against the simulator
# (two threads receiving and requesting cookies at once among them).
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-tsan-sim
cmake -S . -B "$build" -G Ninja -DTOLVA_TSAN=ON -DTOLVA_WERROR=ON -DTOLVA_BENCH=OFF >/dev/null
cmake --build "$build" --target system_array_tunnel system_rig_layer system_frames unit_frames \
    tolva_sglayer tolva-sim
layer=$(realpath "$build/sim/layer/x86_64/libtolva_sglayer.so")
for test in system_array_tunnel system_rig_layer system_frames; do
    LD_PRELOAD=$layer TSAN_OPTIONS="halt_on_error=1" "$build/tests/$test"
done
# The unit tests answer from an in-process stand-in for the driver: no layer.
TSAN_OPTIONS="halt_on_error=1" "$build/tests/unit_frames"

#!/usr/bin/env bash
# CI: the concurrent parts under ThreadSanitizer, in one build:
# - the simulator's workers, relay threads and journal, driven by the tests of the layer and
#   of the array's tunnel side;
# - the frame layer's link state, driven by its unit tests and by its tests against the
#   simulator (two threads receiving and requesting cookies at once among them);
# - the port tunnel: its unit tests, and its system tests, whose tolva-tunnel (built with the
#   sanitizer too) runs both tunnel threads; a report there fails the test through the
#   program's standard error.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-tsan
cmake -S . -B "$build" -G Ninja -DTOLVA_TSAN=ON -DTOLVA_WERROR=ON -DTOLVA_BENCH=OFF >/dev/null
cmake --build "$build" --target system_array_tunnel system_rig_layer system_frames unit_frames \
    unit_tunnel system_tunnel tolva_sglayer tolva-sim
export TSAN_OPTIONS="halt_on_error=1"
layer=$(realpath "$build/sim/layer/x86_64/libtolva_sglayer.so")
for test in system_array_tunnel system_rig_layer system_frames; do
    LD_PRELOAD=$layer "$build/tests/$test"
done
# These answer from an in-process stand-in for the driver, or run the programs in a
# sandbox that preloads the layer itself.
for test in unit_frames unit_tunnel system_tunnel; do
    "$build/tests/$test"
done

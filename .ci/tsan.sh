#!/usr/bin/env bash
# CI: the port tunnel under ThreadSanitizer: its unit tests, and its system tests, whose
# tolva-tunnel (built with the sanitizer too) runs both tunnel threads; a report there fails
# the test through the program's standard error. The frame layer's tests run in
# sim-tsan.sh; this step builds in the same folder, so the shared objects are built once.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-tsan-sim
cmake -S . -B "$build" -G Ninja -DTOLVA_TSAN=ON -DTOLVA_WERROR=ON -DTOLVA_BENCH=OFF >/dev/null
cmake --build "$build" --target unit_tunnel system_tunnel
export TSAN_OPTIONS="halt_on_error=1"
"$build/tests/unit_tunnel"
"$build/tests/system_tunnel"

#!/usr/bin/env bash
# CI: the programs through the real Linux sg driver, 64-bit and 32-bit, each in a guest of
# its own.
set -euo pipefail
cd "$(dirname "$0")/.."
echo "== real sg driver"
bash tests/realkernel/run.sh 64 32

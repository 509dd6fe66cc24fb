#!/usr/bin/env bash
# CI: builds the libFuzzer targets with clang (AddressSanitizer and UBSan) in build-fuzz and
# runs each on its committed corpus for a bounded time, all of them at once. A crash, a
# broken invariant, a leak or a hang fails the step; the input that caused it is kept in
# build-fuzz/findings/ and printed in base64, to be added to the target's corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}
build=build-fuzz

cmake -S . -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DTOLVA_FUZZ=ON -DTOLVA_TESTS=OFF -DTOLVA_BENCH=OFF >/dev/null
cmake --build "$build" --target fuzz_targets

rm -rf "$build/work" "$build/findings"
mkdir -p "$build/work" "$build/findings"
names=()
pids=()
for corpus in tests/fuzz/corpus/*/; do
    name=$(basename "$corpus")
    mkdir -p "$build/work/$name"
    # New inputs go to the work folder; the committed corpus is only read.
    "$build/tests/fuzz/fuzz_$name" "$build/work/$name" "$corpus" \
        -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -close_fd_mask=1 \
        -print_final_stats=1 -artifact_prefix="$build/findings/$name-" \
        >"$build/work/$name.log" 2>&1 &
    names+=("$name")
    pids+=($!)
done

failed=0
for i in "${!names[@]}"; do
    name=${names[$i]}
    log=$build/work/$name.log
    status=passed
    wait "${pids[$i]}" || { status=FAILED; failed=1; }
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz $name: $status, ${runs:-no} executions in $seconds s"
    if [ "$status" = FAILED ]; then
        tail -n 60 "$log"
        for input in "$build/findings/$name"-*; do
            [ -f "$input" ] || continue
            echo "input $input (base64):"
            base64 "$input"
        done
    fi
done
exit "$failed"

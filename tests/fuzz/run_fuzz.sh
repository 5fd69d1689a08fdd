#!/bin/bash
# Builds the libFuzzer targets with clang and fuzzes each for MINUTES (both at once),
# starting from the committed corpus; new inputs go to build/fuzz/corpus-*.
#   tests/fuzz/run_fuzz.sh [MINUTES=10]
set -euo pipefail
cd "$(dirname "$0")/../.."
minutes=${1:-10}
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DART_FUZZ=ON -DART_BUILD_TESTS=OFF -DART_BUILD_BENCH=OFF >/dev/null
cmake --build build/fuzz --target fuzz_gather fuzz_scatter
for target in gather scatter; do
    mkdir -p "build/fuzz/corpus-$target"
    build/fuzz/bin/fuzz_$target "build/fuzz/corpus-$target" "tests/fuzz/corpus/$target" \
        -max_total_time=$(awk -v m="$minutes" "BEGIN { print int(m * 60) }") -max_len=4096 -print_final_stats=1 \
        >"build/fuzz/fuzz_$target.log" 2>&1 &
done
status=0
wait -n || status=1
wait -n || status=1
for target in gather scatter; do
    echo "== fuzz_$target"
    grep -E '^stat::number_of_executed_units|^stat::peak_rss|ERROR|SUMMARY|^Done' "build/fuzz/fuzz_$target.log" || true
done
exit $status

#!/usr/bin/env bash
# Fuzzes decode_name longer than CI does: fuzz/run.sh [seconds, default 3600]. New inputs are
# kept in build-fuzz/corpus; a failing input is written to the working folder as crash-*.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-3600}
cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DMAC2CP850_FUZZ=ON -DBUILD_TESTING=OFF
cmake --build build-fuzz -j2 --target decode_fuzz
mkdir -p build-fuzz/corpus
build-fuzz/decode_fuzz -max_total_time="$seconds" -print_final_stats=1 build-fuzz/corpus fuzz/corpus

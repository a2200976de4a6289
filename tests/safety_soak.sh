#!/usr/bin/env bash
# Kills the program at many more moments over a larger tree than CI does, for several seeds:
# tests/safety_soak.sh [seeds, default 5] [kill points, default 200] [files per folder, default 500]
# (20 x 10 folders of that many files: 100,000 files by default).
set -euo pipefail
cd "$(dirname "$0")/.."
seeds=${1:-5}
cmake -S . -B build && cmake --build build -j2 --target mac2cp850_safety_tests
for seed in $(seq 1 "$seeds"); do
	MAC2CP850_KILL_SEED=$seed MAC2CP850_KILL_POINTS=${2:-200} MAC2CP850_KILL_FILES=${3:-500} \
		build/tests/mac2cp850_safety_tests --gtest_filter='killed_run.*'
done

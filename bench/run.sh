#!/bin/bash
# Builds the linux-x64 preset, runs every benchmark of the string store with
# repetitions, and turns the run into the plot and the tables of the README.
# Usage: bench/run.sh [more store_bench flags]
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset linux-x64 >/dev/null
cmake --build --preset linux-x64 --target store_bench
mkdir -p bench/results
build/linux-x64/bin/store_bench --benchmark_repetitions=5 --benchmark_min_time=0.2 \
    --benchmark_display_aggregates_only=true \
    --benchmark_out=bench/results/linux-x64.json --benchmark_out_format=json "$@"
/usr/bin/python3 bench/plot.py bench/results/linux-x64.json bench/cost_per_op.png | tee bench/results/linux-x64.md

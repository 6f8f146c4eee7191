#!/bin/bash
# Builds the benchmarks, runs every one of the string store with
# repetitions, and turns each run into the tables of the README (and, for
# linux-x64, the plot):
#   linux-x64  the library, glibc, mimalloc, jemalloc, tcmalloc and the model
#   win-x64    the library's DLL and the C runtime's malloc, under wine64
# Usage: bench/run.sh [more store_bench flags]
#   BENCH_TARGETS="linux-x64" bench/run.sh   runs one of the two only
set -euo pipefail
cd "$(dirname "$0")/.."
targets=${BENCH_TARGETS:-linux-x64 win-x64}
flags=(--benchmark_repetitions=5 --benchmark_min_time=0.2 --benchmark_display_aggregates_only=true)
mkdir -p bench/results
bash scripts/install-deps.sh bench || echo "the peer allocators could not be installed: they are left out"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"

if [[ " $targets " == *" linux-x64 "* ]]; then
    cmake --preset linux-x64 >/dev/null
    cmake --build --preset linux-x64 --target store_bench
    build/linux-x64/bin/store_bench "${flags[@]}" \
        --benchmark_out=bench/results/linux-x64.json --benchmark_out_format=json "$@"
    /usr/bin/python3 bench/plot.py bench/results/linux-x64.json bench/cost_per_op.png | tee bench/results/linux-x64.md
fi

if [[ " $targets " == *" win-x64 "* ]]; then
    # A build of its own: the library and the benchmark only, on the small
    # harness of bench/minibench.h (no Google Benchmark for mingw).
    cmake -S . -B build/win-x64-bench -G Ninja --toolchain cmake/mingw-x64.cmake \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTBX_BUILD_BENCH=ON -DTBX_BUILD_TESTS=OFF \
        -DTBX_BUILD_EXAMPLES=OFF >/dev/null
    cmake --build build/win-x64-bench --target store_bench
    bash cmake/run-wine.sh win64 cmd /c exit >/dev/null 2>&1 || true  # Wine makes its prefix first
    # The model is left out: it is the tests' oracle, not a store anyone runs.
    bash cmake/run-wine.sh win64 build/win-x64-bench/bin/store_bench.exe "${flags[@]}" \
        --benchmark_filter='^(lib|crt)/' \
        --benchmark_out=bench/results/win-x64.json --benchmark_out_format=json "$@"
    /usr/bin/python3 bench/plot.py bench/results/win-x64.json | tee bench/results/win-x64.md
fi
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"

#!/bin/bash
# Fuzzes the memory and string-store interface (fuzz/) for a while.
#
#   scripts/fuzz.sh [seconds]     default 1800
#
# Builds the fuzz preset (clang-14 libFuzzer, ASan + UBSan), replays the
# committed seed corpus fuzz/corpus, then fuzzes from it and from what
# earlier runs found (build/fuzz-run/corpus, kept between runs). A
# divergence from the model, a broken promise or a sanitizer report stops
# the run and leaves the input in build/fuzz-run/artifacts; replay it with
#   build/fuzz/bin/tembrix_fuzz build/fuzz-run/artifacts/crash-...
# (TBX_FUZZ_TRACE=1 in the environment lists the calls it decodes).
# Exits 0 when nothing was found.
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-1800}
run=build/fuzz-run
mkdir -p build/logs "$run/corpus" "$run/artifacts"

bash scripts/build-preset.sh fuzz || exit 1

echo "== fuzzing for ${seconds}s (log: $run/fuzz.log)"
build/fuzz/bin/tembrix_fuzz -max_total_time="$seconds" -max_len=2048 -len_control=20 \
    -timeout=60 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix="$run/artifacts/" "$run/corpus" fuzz/corpus >"$run/fuzz.log" 2>&1
status=$?
grep -E '^(Done|stat::number_of_executed_units|stat::new_units_added)' "$run/fuzz.log"
if [ $status -ne 0 ]; then
    grep -E 'tembrix fuzz:|ERROR|SUMMARY|Test unit written' "$run/fuzz.log" | head -20
    echo "the fuzzer found a failure (exit $status)"
fi
exit $status

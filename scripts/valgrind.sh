#!/bin/bash
# Runs the linux-x64 test executables under valgrind's memcheck, each test
# case in a process of its own (many need the string pool empty), two at a
# time, and the replay of the fuzz corpus as one more case. A case fails on
# any memcheck error or definite or possible leak.
#
# Left out, both run natively and under AddressSanitizer:
# - Pool.FullPoolRefusesAndKeepsItsStrings fills all 65534 blocks (600 MB)
#   and would take most of an hour under valgrind;
# - FilesTest.ForkWhileAnotherThreadUsesFiles forks while another thread
#   allocates: each child inherits that thread's allocations in flight,
#   which memcheck reports as lost when the child ends;
# - Blocks.LargeShrinkAndFreeGiveMemoryBack reads the resident set, which
#   memcheck's own allocator keeps (ASan skips it for its quarantine);
# - FilesTest.FilesAndTheNullDeviceOpenAsTheirAttributesAllow lowers a
#   child's descriptor limit, which valgrind, holding descriptors of its
#   own, does not let a program set.
#
# Expects build/linux-x64 to be built (scripts/test.sh does that first).
# Prints the failing cases and exits non-zero if any.
set -uo pipefail
cd "$(dirname "$0")/.."
bin=build/linux-x64/bin
logs=build/logs/valgrind
rm -rf "$logs"
mkdir -p "$logs"
skip='Pool.FullPoolRefusesAndKeepsItsStrings FilesTest.ForkWhileAnotherThreadUsesFiles'
skip+=' Blocks.LargeShrinkAndFreeGiveMemoryBack FilesTest.FilesAndTheNullDeviceOpenAsTheirAttributesAllow'

cases=()
for exe in tembrix_tests interface_test; do
    [ -x "$bin/$exe" ] || { echo "$bin/$exe is not built"; exit 1; }
    suite=""
    while IFS= read -r line; do
        case "$line" in
            " "*) name="$suite${line#  }"; name=${name%% *}
                  [[ " $skip " == *" $name "* ]] || cases+=("$exe $name") ;;
            *) suite=$line ;;
        esac
    done < <("$bin/$exe" --gtest_list_tests | grep -v '^Running main')
done

cases+=("tembrix_fuzz_replay fuzz/corpus")

one() {
    local exe=$1 name=$2 args=(--gtest_filter="$2")
    [ "$exe" = tembrix_fuzz_replay ] && { args=("$name"); name=fuzz_corpus; }
    valgrind -q --error-exitcode=1 --leak-check=full --track-origins=yes \
        "$bin/$exe" "${args[@]}" >"$logs/$name.log" 2>&1 ||
        echo "FAILED $exe $name"
}
export -f one
export bin logs
failed=$(printf '%s\n' "${cases[@]}" | xargs -P 2 -L 1 bash -c 'one "$0" "$1"')
echo "valgrind memcheck: ${#cases[@]} cases, $(grep -c FAILED <<<"$failed") failed (skipped: $skip)"
if [ -n "$failed" ]; then
    echo "$failed"
    echo "logs: $logs/"
    exit 1
fi

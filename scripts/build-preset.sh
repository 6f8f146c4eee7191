#!/bin/bash
# Installs the base packages, then configures and builds one preset; on
# failure prints the end of the log and exits non-zero. Logs go to
# build/logs/PRESET.*.log.
#
#   scripts/build-preset.sh PRESET
set -uo pipefail
cd "$(dirname "$0")/.."
preset=$1
mkdir -p build/logs
bash scripts/install-deps.sh base >"build/logs/$preset.install.log" 2>&1 ||
    { tail -20 "build/logs/$preset.install.log"; echo "could not install the build packages"; exit 1; }
if ! { cmake --preset "$preset" >"build/logs/$preset.configure.log" 2>&1 &&
       cmake --build --preset "$preset" >"build/logs/$preset.build.log" 2>&1; }; then
    tail -30 "build/logs/$preset.build.log" 2>/dev/null || cat "build/logs/$preset.configure.log"
    echo "the $preset preset did not build"
    exit 1
fi

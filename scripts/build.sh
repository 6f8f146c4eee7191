#!/bin/bash
# Builds the library for every target and runs the example clients on each
# target this machine can run. Installs what it needs first.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
mkdir -p build/logs

echo "== installing packages"
bash scripts/install-deps.sh base >build/logs/install.log 2>&1 &&
    bash scripts/install-deps.sh cross >>build/logs/install.log 2>&1 ||
    { tail -20 build/logs/install.log; echo "could not install the build packages"; exit 1; }
wine32=yes
bash scripts/install-deps.sh wine32 >build/logs/wine32.log 2>&1 || wine32=no

status=0
for preset in linux-x64 linux-x86 win-x64 win-x86; do
    echo "== building $preset"
    if ! { cmake --preset "$preset" >"build/logs/$preset.configure.log" 2>&1 &&
           cmake --build --preset "$preset" >"build/logs/$preset.build.log" 2>&1; }; then
        tail -30 "build/logs/$preset.build.log" 2>/dev/null || cat "build/logs/$preset.configure.log"
        status=1
        continue
    fi
    dir=$root/build/$preset/bin
    # The C client and its C++ twin (tembrix.hpp).
    for client in tembrix_client tembrix_client_cpp; do
        case $preset in
            linux-x64) run=("$dir/$client") ;;
            linux-x86) run=(qemu-i386 -L / "$dir/$client") ;;
            win-x64)   run=(cmake/run-wine.sh win64 "$dir/$client.exe") ;;
            win-x86)   [ "$wine32" = yes ] || { echo "   (32-bit Wine could not be set up here: clients not run)"; continue 2; }
                       run=(cmake/run-wine.sh win32 "$dir/$client.exe") ;;
        esac
        echo "== running the example client $client ($preset)"
        "${run[@]}" || status=1
    done
done
exit $status

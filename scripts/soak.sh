#!/bin/sh
# The soak: runs 1 to 4 at once on one emulated thermometer whose answers
# come late by varying delays, about one in ten killed at a random moment;
# 1,000 Linux runs, then 100 runs of each Windows program under Wine. It
# reports as it goes and fails on any failed run, wrong reading or hang.
# Usage: soak.sh BUILD_DIR
set -eu
build=${1:-build}
source=$(cd "$(dirname "$0")/.." && pwd)
log=$build/soak-build.log
echo "Building the programs"
if ! {
    cmake --build "$build" --target frostgauge_static e2e_guest -j "$(nproc)" &&
        for arch in x86_64 i686; do
            bits=64
            [ "$arch" = x86_64 ] || bits=32
            cmake -S "$source" -B "$build/build-win$bits" -DBUILD_TESTING=OFF \
                -DCMAKE_TOOLCHAIN_FILE="$source/cmake/mingw-w64-$arch.cmake" &&
                cmake --build "$build/build-win$bits" --target frostgauge -j "$(nproc)" || exit 1
        done
} >"$log" 2>&1; then
    cat "$log"
    exit 1
fi
began=$(date +%s)
"$source/tests/e2e/run-vm.sh" soak "$build" "$build/tests/e2e/frostgauge_static" \
    "$build/tests/e2e/e2e_guest"
"$source/tests/e2e/run-vm.sh" --platform wine soak "$build" "$build/build-win64/frostgauge.exe" \
    "$build/tests/e2e/e2e_guest" "$build/build-win32/frostgauge.exe"
echo "The soak took $(($(date +%s) - began)) s"

#!/bin/sh
# Shows `frostgauge.exe -d`, then `frostgauge.exe -x`, under Wine against an
# emulated thermometer inside the test machine, cross-building the program
# first. Usage: demo-windows.sh BUILD_DIR
set -eu
build=${1:-build}
source=$(cd "$(dirname "$0")/.." && pwd)
win64=$build/build-win64
echo "Cross-building frostgauge.exe"
if ! { cmake -S "$source" -B "$win64" -DCMAKE_TOOLCHAIN_FILE="$source/cmake/mingw-w64-x86_64.cmake" &&
       cmake --build "$win64" --target frostgauge -j "$(nproc)"; } >"$build/demo-windows.log" 2>&1; then
    cat "$build/demo-windows.log"
    exit 1
fi
echo "Booting a Linux kernel under QEMU with an emulated thermometer on its USB bus"
echo "(-d: its sensor reads 25.125, offset 0; -x: 24.125, offset -1, printed as 23.125);"
echo "Wine starts inside it. This takes about a minute."
echo
exec "$source/tests/e2e/run-vm.sh" --platform wine demo "$build" "$win64/frostgauge.exe" \
    "$build/tests/e2e/e2e_guest"

#!/bin/sh
# Builds the program as one does on a 32-bit machine with only cmake and g++:
# Debian's i386 compiler with its own defaults (a 32-bit time_t), no
# toolchain file, no GoogleTest. Runs it under qemu-user, and installs it
# with the default prefix, where the udev rule must still reach udev.
# Usage: i386.sh SOURCE_DIR NATIVE_BUILD_DIR
set -eu
source=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)/build-i386
for tool in i686-linux-gnu-g++ qemu-i386; do
    command -v "$tool" >/dev/null || { echo "$tool is missing: run scripts/install-deps.sh"; exit 1; }
done

log=$build.log
if ! { CXX=i686-linux-gnu-g++ cmake -S "$source" -B "$build" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON &&
       cmake --build "$build" -j "$(nproc)"; } >"$log" 2>&1; then
    cat "$log"
    echo "FAIL the i386 build"
    exit 1
fi
program=$build/frostgauge
readelf -h "$program" | grep -Eq '^ *Machine: +Intel 80386$' ||
    { echo "FAIL $program is not an Intel 80386 one"; exit 1; }
"$source/tests/cli/program_runs.sh" "$program" "$source/tests/cli/help.golden" \
    "qemu-i386 -L /usr/i686-linux-gnu"

rm -rf "$build/root"
DESTDIR="$build/root" cmake --install "$build" >/dev/null
rules=$(cd "$build/root" && find . -name 70-frostgauge.rules)
[ "$rules" = ./etc/udev/rules.d/70-frostgauge.rules ] ||
    { echo "FAIL the default prefix installs the udev rule as: $rules"; exit 1; }
echo "built, ran and installed $program (Intel 80386)"

#!/bin/sh
# Cross-builds the Linux program for an ARM architecture, runs its tests under
# qemu-user and checks its Debian package.
# Usage: run.sh SOURCE_DIR NATIVE_BUILD_DIR ARCH (arm64 or armhf)
set -eu
source=$(cd "$1" && pwd)
arch=$3
build=$(cd "$2" && pwd)/build-$arch
case $arch in
arm64) triplet=aarch64-linux-gnu qemu=qemu-aarch64 machine=AArch64 ;;
armhf) triplet=arm-linux-gnueabihf qemu=qemu-arm machine=ARM ;;
*) echo "usage: run.sh SOURCE_DIR NATIVE_BUILD_DIR arm64|armhf"; exit 2 ;;
esac
for tool in "$triplet-g++" "$qemu"; do
    command -v "$tool" >/dev/null || { echo "$tool is missing: run scripts/install-deps.sh"; exit 1; }
done

log=$build.log
if ! { cmake -S "$source" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$source/cmake/$triplet.cmake" &&
       cmake --build "$build" -j "$(nproc)"; } >"$log" 2>&1; then
    cat "$log"
    echo "FAIL the $arch build"
    exit 1
fi
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"

(cd "$build" && rm -f ./*.deb && cpack -G DEB >/dev/null)
deb=$(ls "$build"/frostgauge_*_"$arch".deb)
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }' | sort |
    diff -u "$source/tests/packaging/installed-files.txt" - ||
    { echo "FAIL the $arch package's files"; exit 1; }
rm -rf "$build/unpacked"
dpkg-deb -x "$deb" "$build/unpacked"
program=$build/unpacked/usr/bin/frostgauge
readelf -h "$program" | grep -Eq "^ *Machine: +$machine\$" ||
    { echo "FAIL the $arch package's program is not an $machine one"; exit 1; }
"$source/tests/packaging/check_libs.sh" "$program" "$source/packaging/depends"
if ! lintian --fail-on error,warning "$deb" >"$build/lintian.log" 2>&1; then
    grep -v "running with root privileges" "$build/lintian.log"
    echo "FAIL lintian on the $arch package"
    exit 1
fi
echo "packed $deb ($machine program)"

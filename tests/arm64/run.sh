#!/bin/sh
# Cross-builds the Linux program for 64-bit ARM, runs its tests under
# qemu-user and checks its Debian package.
# Usage: run.sh SOURCE_DIR NATIVE_BUILD_DIR
set -eu
source=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)/build-arm64
for tool in aarch64-linux-gnu-g++ qemu-aarch64; do
    command -v "$tool" >/dev/null || { echo "$tool is missing: run scripts/install-deps.sh"; exit 1; }
done

log=$build.log
if ! { cmake -S "$source" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$source/cmake/aarch64-linux-gnu.cmake" &&
       cmake --build "$build" -j "$(nproc)"; } >"$log" 2>&1; then
    cat "$log"
    echo "FAIL the arm64 build"
    exit 1
fi
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"

(cd "$build" && rm -f ./*.deb && cpack -G DEB >/dev/null)
deb=$(ls "$build"/frostgauge_*_arm64.deb)
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }' | sort |
    diff -u "$source/tests/packaging/installed-files.txt" - ||
    { echo "FAIL the arm64 package's files"; exit 1; }
dpkg-deb -x "$deb" "$build/unpacked"
case $(od -An -j18 -N2 -tx2 "$build/unpacked/usr/bin/frostgauge" | tr -d ' ') in
00b7) echo "packed $deb (aarch64 program)" ;;  # e_machine EM_AARCH64
*) echo "FAIL the arm64 package's program is not an aarch64 one"; exit 1 ;;
esac

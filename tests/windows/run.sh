#!/bin/sh
# Cross-builds the 64-bit and 32-bit Windows programs from this tree, checks
# that each loads on the oldest Windows it serves, and runs the 64-bit
# program's tests under Wine. The 32-bit program's tests run in the test
# machine (the wine line of tests/e2e/platforms.txt), whose kernel runs
# 32-bit code whatever this one's can do. With "programs", it only builds what that machine needs: the two
# programs and the 32-bit tests, so that its boot need not wait for the rest.
# Usage: run.sh SOURCE_DIR NATIVE_BUILD_DIR [programs]
set -eu
source=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
targets=all
targets32=all
if [ "${3:-}" = programs ]; then
    targets=frostgauge
    targets32="frostgauge frostgauge_tests planted_hid"
fi
jobs=$(nproc)
win64=$build/build-win64
win32=$build/build-win32

for tool in x86_64-w64-mingw32-g++-posix i686-w64-mingw32-g++-posix; do
    if ! command -v "$tool" >/dev/null; then
        echo "$tool is missing: run scripts/install-deps.sh"
        exit 1
    fi
done
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
if [ ! -x "$wineserver" ]; then
    echo "Wine is missing: run scripts/install-deps.sh"
    exit 1
fi
prefix=$win64/wine-prefix

# cross_build DIR ARCH TARGETS CMAKE_ARGS... (its log is shown only when it fails)
cross_build() {
    dir=$1 arch=$2 build_targets=$3
    shift 3
    log=$dir.log
    # Without debug information, which the zip strips anyway: it is a sixth
    # of the compile time, most of it in the tests.
    # shellcheck disable=SC2086
    if ! { cmake -S "$source" -B "$dir" \
               -DCMAKE_TOOLCHAIN_FILE="$source/cmake/mingw-w64-$arch.cmake" \
               -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" "$@" &&
           cmake --build "$dir" --target $build_targets -j "$jobs"; } >"$log" 2>&1; then
        cat "$log"
        echo "FAIL the $arch build"
        exit 1
    fi
    echo "built $dir/frostgauge.exe"
}
cross_build "$win32" i686 "$targets32" -DBUILD_TESTING=ON
# Stripped before its tests, so that they run what the zip ships; left as
# it is when it already is, since the Wine rows' boot may be copying it.
i686-w64-mingw32-strip -o "$win32/frostgauge.stripped" "$win32/frostgauge.exe"
if cmp -s "$win32/frostgauge.stripped" "$win32/frostgauge.exe"; then
    rm "$win32/frostgauge.stripped"
else
    mv "$win32/frostgauge.stripped" "$win32/frostgauge.exe"
fi
# Testing on, which a build folder that make soak configured has off.
cross_build "$win64" x86_64 "$targets" -DBUILD_TESTING=ON -DFROSTGAUGE_WIN32_EXE="$win32/frostgauge.exe"
[ "$targets" = all ] || exit 0

# Each program loads on the oldest Windows it serves: 2000 for x86, XP x64
# and Server 2003 for x64.
check_loads=$source/tests/windows/check_loads.sh
imports=$source/tests/windows/imports.txt
loads=0
"$check_loads" "$win32/frostgauge.exe" x86 5.0 "$imports" || loads=1
"$check_loads" "$win64/frostgauge.exe" x64 5.2 "$imports" || loads=1
[ "$loads" -eq 0 ]

# The zip for Windows users: both programs, and the README in CR LF text.
(cd "$win64" && cpack -G ZIP >/dev/null)
zip=$(ls "$win64"/frostgauge-*-windows.zip)
top=$(basename "$zip" .zip)
listing=$(unzip -Z1 "$zip" | grep -v '/$' | sort | tr '\n' ' ')
expected="$top/LICENSE.txt $top/README.txt $top/x64/frostgauge.exe $top/x86/frostgauge.exe "
if [ "$listing" != "$expected" ]; then
    echo "FAIL the zip holds: $listing"
    exit 1
fi
if unzip -p "$zip" '*/README.txt' | grep -qv "$(printf '\r')\$"; then
    echo "FAIL the zip's README has lines without CR LF"
    exit 1
fi
echo "packed $zip"

# A prefix of this build's own, made before the tests so that its first-run
# messages and time stay out of them. Only the 64-bit program runs here, so
# only its half counts: a prefix whose wineboot failed lacks kernel32.
export WINEPREFIX="$prefix"
export WINEDEBUG=-all
if [ ! -f "$WINEPREFIX/drive_c/windows/system32/kernel32.dll" ]; then
    rm -rf "$WINEPREFIX"
    "$source/cmake/wine.sh" wineboot --init >/dev/null 2>&1
fi
status=0
ctest --test-dir "$win64" --output-on-failure -j "$jobs" || status=$?
# Wine's server outlives its last program by a few seconds; wait it out, so
# that nothing of this test is left running.
"$wineserver" --wait
exit "$status"

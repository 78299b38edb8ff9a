#!/bin/sh
# Cross-builds the 64-bit and 32-bit Windows programs from this tree, checks
# that each loads on the oldest Windows it serves, and runs the Windows tests
# of both under Wine (64-bit and 32-bit), in one Wine prefix. With
# "programs", it only builds the two programs, which the test machine's Wine
# rows need, so that their boot need not wait for the tests' build.
# Usage: run.sh SOURCE_DIR NATIVE_BUILD_DIR [programs]
set -eu
source=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
target=all
[ "${3:-}" != programs ] || target=frostgauge
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
# The 32-bit half (wine32:i386) runs the 32-bit program.
if [ ! -x /usr/lib/wine/wine ]; then
    echo "32-bit Wine is missing: run scripts/install-deps.sh"
    exit 1
fi
prefix=$win64/wine-prefix

# cross_build DIR ARCH CMAKE_ARGS... (its log is shown only when it fails)
cross_build() {
    dir=$1 arch=$2
    shift 2
    log=$dir.log
    # Without debug information, which the zip strips anyway: it is a sixth
    # of the compile time, most of it in the tests.
    if ! { cmake -S "$source" -B "$dir" \
               -DCMAKE_TOOLCHAIN_FILE="$source/cmake/mingw-w64-$arch.cmake" \
               -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" "$@" &&
           cmake --build "$dir" --target "$target" -j "$jobs"; } >"$log" 2>&1; then
        cat "$log"
        echo "FAIL the $arch build"
        exit 1
    fi
    echo "built $dir/frostgauge.exe"
}
cross_build "$win32" i686 -DBUILD_TESTING=ON -DFROSTGAUGE_WINE_PREFIX="$prefix"
# Stripped before its tests, so that they run what the zip ships; left as
# it is when it already is, since the Wine rows' boot may be copying it.
i686-w64-mingw32-strip -o "$win32/frostgauge.stripped" "$win32/frostgauge.exe"
if cmp -s "$win32/frostgauge.stripped" "$win32/frostgauge.exe"; then
    rm "$win32/frostgauge.stripped"
else
    mv "$win32/frostgauge.stripped" "$win32/frostgauge.exe"
fi
cross_build "$win64" x86_64 -DFROSTGAUGE_WIN32_EXE="$win32/frostgauge.exe"
[ "$target" = all ] || exit 0

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
# messages and time stay out of them; the tests of both builds find it by
# the same path. One made before 32-bit Wine was installed lacks the 32-bit
# half (syswow64) and is made again.
export WINEPREFIX="$prefix"
export WINEDEBUG=-all
if [ ! -d "$WINEPREFIX/drive_c/windows/syswow64" ]; then
    rm -rf "$WINEPREFIX"
    "$source/cmake/wine.sh" wineboot --init >/dev/null 2>&1
fi
status=0
ctest --test-dir "$win64" --output-on-failure -j "$jobs" || status=$?
ctest --test-dir "$win32" --output-on-failure -j "$jobs" || status=$?
# Wine's server outlives its last program by a few seconds; wait it out, so
# that nothing of this test is left running.
"$wineserver" --wait
exit "$status"

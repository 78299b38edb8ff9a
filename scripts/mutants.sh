#!/bin/sh
# Builds the program with each deliberate fault of tests/e2e/mutants.txt (or
# those named; "none" is the program as it stands) and plays the end-to-end
# rows against it on every test machine of tests/e2e/platforms.txt whose
# program the fault changes, and the amd64 unit tests. Prints the rows that
# failed, then the matrix: per fault, "x" where a machine caught it, "."
# where it did not, "!" where only rows it does not name failed, "-" where
# the fault leaves its program as it is. Fails when a cell differs from
# tests/e2e/mutants.expected, or a fault's build fails.
# Usage: scripts/mutants.sh BUILD_DIR [FAULT...]
set -eu
source=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
shift
run_vm=$source/tests/e2e/run-vm.sh
tree=$build/mutants/tree  # the source with one fault
out=$build/mutants/build
mkdir -p "$tree" "$out"
# The kernels, Wine's files and its prefix, as make check fetched and made
# them (or as the first boot here does).
for kept in e2e-cache e2e-cache-wine32 e2e-wine; do
    mkdir -p "$build/$kept"
    [ -e "$out/$kept" ] || ln -s "$build/$kept" "$out/$kept"
done

# The source as it stands; a file copied anew only where it differs, so that
# the builds redo only what a fault touches.
reset_tree() {
    (cd "$source" && git ls-files) | while read -r file; do
        cmp -s "$source/$file" "$tree/$file" && continue
        mkdir -p "$tree/$(dirname "$file")"
        cp "$source/$file" "$tree/$file"
    done
}

build() {  # folder targets cmake-arguments...
    dir=$1 targets=$2
    shift 2
    # shellcheck disable=SC2086
    { cmake -S "$tree" -B "$dir" "$@" && cmake --build "$dir" -j "$(nproc)" --target $targets; } \
        >"$dir.log" 2>&1
}

build_programs() {  # platforms: linux, windows or both
    build "$out" "frostgauge frostgauge_static e2e_guest frostgauge_tests" -DFROSTGAUGE_WHOLE_CHECK=OFF || return 1
    for triplet in aarch64-linux-gnu arm-linux-gnueabihf; do
        build "$out/build-$triplet" "frostgauge e2e_guest" \
            -DCMAKE_TOOLCHAIN_FILE="$tree/cmake/$triplet.cmake" || return 1
    done
    [ "$1" != linux ] || return 0
    for arch in x86_64 i686; do
        build "$out/build-$arch" frostgauge -DCMAKE_TOOLCHAIN_FILE="$tree/cmake/mingw-w64-$arch.cmake" || return 1
    done
}

# One machine's rows, its summary and failed rows into $logs/NAME.
play() {  # name
    arch=$(awk -v name="$1" '$1 == name { print $3 ($6 == "wine" ? "-wine" : "") }' "$source/tests/e2e/platforms.txt")
    cross=$out/build-aarch64-linux-gnu
    [ "$arch" != armhf ] || cross=$out/build-arm-linux-gnueabihf
    log=$logs/$1
    case $1:$arch in
    *:amd64-wine) set -- "$1" "$out/build-x86_64/frostgauge.exe" "$out/tests/e2e/e2e_guest" "$out/build-i686/frostgauge.exe" ;;
    "$first":*) set -- "$1" "$out/tests/e2e/frostgauge_static" "$out/tests/e2e/e2e_guest" ;;
    *:amd64) set -- "$1" "$out/frostgauge" "$out/tests/e2e/e2e_guest" ;;
    *) set -- "$1" "$cross/frostgauge" "$cross/tests/e2e/e2e_guest" ;;
    esac
    machine=$1
    shift
    "$run_vm" --platform "$machine" check "$out" "$@" >"$log.console" 2>&1 || true
    {
        sed -n 's/^\([0-9]* passed, [0-9]* failed\)$/\1/p' "$log.console"
        sed -n 's/^FAIL \(.*\) ([0-9.]* s[;)].*/\1/p' "$log.console"
    } >"$log"
}

# x: a row or test the fault names failed; !: only others did (a flaky
# row, or one that caught what it was not asked to); .: it ran whole and
# none failed; ?: it did not finish.
cell() {  # job
    summary=$(head -n 1 "$logs/$1" 2>/dev/null)
    failed=$(sed 1d "$logs/$1" 2>/dev/null)
    if [ -n "$failed" ] && [ -n "$named" ] && echo "$failed" | grep -qF -e "$named"; then
        echo x
    elif [ -n "$failed" ] || echo "$summary" | grep -q ' [1-9][0-9]* failed$'; then
        echo "!"
    elif [ -n "$summary" ]; then
        echo .
    else
        echo "?"
    fi
}

# Plays the named machines one after another.
play_all() {
    for machine in "$@"; do
        play "$machine"
    done
}

first=$(awk '/^[a-z]/ { print $1; exit }' "$source/tests/e2e/platforms.txt")
machines=$(awk '/^[a-z]/ && $6 != "wine" { print $1 }' "$source/tests/e2e/platforms.txt")
wines=$(awk '/^[a-z]/ && $6 == "wine" { print $1 }' "$source/tests/e2e/platforms.txt")
# shellcheck disable=SC2046
[ $# -gt 0 ] || set -- none $(sed -n 's/^\([^#][^|]*[^ |]\) *|.*/\1/p' "$source/tests/e2e/mutants.txt" | tr ' ' '_')
expected=$source/tests/e2e/mutants.expected
matrix=$build/mutants/matrix
# shellcheck disable=SC2086
printf '%-32s | %s\n' fault "$(echo unit $machines $wines | sed 's/ / | /g')" >"$matrix"
for fault in "$@"; do
    fault=$(echo "$fault" | tr '_' ' ')
    reset_tree
    platforms=both
    named=
    if [ "$fault" != none ]; then
        row=$(grep -F "$fault " "$source/tests/e2e/mutants.txt" | head -n 1)
        [ -n "$row" ] || { echo "no fault \"$fault\" in tests/e2e/mutants.txt"; exit 2; }
        file=$(echo "$row" | cut -d '|' -f 2 | tr -d ' ')
        platforms=$(echo "$row" | cut -d '|' -f 3 | tr -d ' ')
        named=$(echo "$row" | cut -d '|' -f 4 | sed 's/^ *//; s/ *$//' | tr ';' '\n')
        script=$(echo "$row" | cut -d '|' -f 5- | sed 's/^ *//; s/ *$//')
        sed "$script" "$source/$file" >"$tree/$file"
        cmp -s "$source/$file" "$tree/$file" && { echo "$fault: the script changes nothing"; exit 2; }
    fi
    if ! build_programs "$platforms"; then
        # A fault that does not build proves nothing: a failing cell.
        echo "$fault: the build failed (logs in $out)"
        printf '%-32s | the build failed\n' "$fault" >>"$matrix"
        continue
    fi
    # Each fault's consoles are kept, for the rows that caught it.
    logs=$build/mutants/logs/$(echo "$fault" | tr " '" __)
    rm -rf "$logs"
    mkdir -p "$logs"
    linux=$machines
    [ "$platforms" != windows ] || linux=
    wine=$wines
    [ "$platforms" != linux ] || wine=
    if [ -n "$linux" ]; then
        # The unit tests too, for the faults the rows cannot reach.
        "$out/tests/frostgauge_tests" >"$logs/unit.console" 2>&1 || true
        {
            sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\{0,1\}\.$/\1 passed/p' "$logs/unit.console"
            sed -n 's/^\[  FAILED  \] \([A-Za-z_.]*\), where.*/\1/p; s/^\[  FAILED  \] \([A-Za-z_.]*\) (.*/\1/p' "$logs/unit.console" | sort -u
        } >"$logs/unit"
    fi
    # Two machines at once, in queues of about the same length: the Wine
    # boot and the last three machines, then the first three, which hold
    # the longest, the one that plays every row.
    # shellcheck disable=SC2086
    set -- $linux
    first_three=
    while [ $# -gt 3 ]; do
        first_three="$first_three $1"
        shift
    done
    # shellcheck disable=SC2086
    play_all $wine "$@" &
    # shellcheck disable=SC2086
    play_all $first_three
    wait
    line=$(printf '%-32s' "$fault")
    for job in unit $machines $wines; do
        if [ -f "$logs/$job" ]; then
            echo "$fault | $job | $(head -n 1 "$logs/$job") | $(sed 1d "$logs/$job" | paste -sd ';' -)"
            line="$line | $(cell "$job")"
        else
            line="$line | -"
        fi
    done
    echo "$line" >>"$matrix"
done
echo
cat "$matrix"
# Only the faults played are compared; spaces do not count.
normal() { sed 's/  */ /g; s/ *$//' "$@"; }
if ! normal "$matrix" | while read -r line; do
    normal "$expected" | grep -qxF "$line" || { echo "not as expected: $line"; exit 1; }
done; then
    echo "The matrix differs from tests/e2e/mutants.expected:"
    normal "$expected"
    exit 1
fi
echo "As tests/e2e/mutants.expected has it."

#!/bin/sh
# Builds the libFuzzer targets and runs each for SECONDS on its seeds and on
# every input that once made it fail.
# Usage: fuzz.sh SOURCE_DIR BUILD_DIR SECONDS
set -eu
source=$1
build=$2
seconds=$3
cmake -S "$source" -B "$build" -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DFROSTGAUGE_FUZZ=ON -DFROSTGAUGE_WHOLE_CHECK=OFF -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target options_fuzz readout_fuzz >/dev/null
for target in options readout; do
    corpus="$build/corpus-$target"
    mkdir -p "$corpus"
    echo "fuzzing $target for $seconds s"
    # New finds go to the scratch corpus; the seeds in the tree stay as they are.
    log="$build/fuzz-$target.log"
    if ! "$build/tests/fuzz/${target}_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$build/crash-$target-" \
        "$corpus" "$source/tests/fuzz/seeds/$target" >"$log" 2>&1; then
        tail -n 60 "$log"
        echo "FAIL $target: keep the crash input under tests/fuzz/seeds/$target once fixed"
        exit 1
    fi
    tail -n 12 "$log"
done

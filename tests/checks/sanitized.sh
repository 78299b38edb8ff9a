#!/bin/sh
# Builds the program and its unit tests with AddressSanitizer and
# UndefinedBehaviorSanitizer (clang) and runs them; any report fails.
# Usage: sanitized.sh SOURCE_DIR BUILD_DIR
set -eu
source=$1
build=$2
cmake -S "$source" -B "$build" -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=Debug \
    -DFROSTGAUGE_SANITIZE=ON -DFROSTGAUGE_WHOLE_CHECK=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:exitcode=86
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# In the test machine, the rows that meet the kernel and the C library: the
# rest is code the unit tests above run under the sanitizers too.
export FROSTGAUGE_E2E_ROWS='[[]arm[]]'
ctest --test-dir "$build" --output-on-failure -E valgrind

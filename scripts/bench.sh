#!/bin/sh
# Prints what the program costs: start-up against /bin/true, the read-out's
# own time, size and peak memory. Usage: bench.sh BUILD_DIR
set -eu
build=${1:-build}
program="$build/frostgauge"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), kernel $(uname -r)"
echo

echo "== whole run that finds no device, against /bin/true (median of 500 runs)"
hyperfine -N --warmup 50 --runs 500 --export-json "$work/start.json" \
    "$program" /bin/true >/dev/null 2>&1
awk -F'[:,]' '/"median"/ { m[n++] = $2 } END {
    printf "frostgauge %.0f us, /bin/true %.0f us, ratio %.2f\n", m[0] * 1e6, m[1] * 1e6, m[0] / m[1] }' \
    "$work/start.json"
echo

echo "== read-out beyond its 20 ms pause, stand-in device answering at once"
"$build/tests/readout_bench" --benchmark_out=/dev/stderr --benchmark_out_format=console \
    --benchmark_repetitions=5 --benchmark_report_aggregates_only=true 2>&1 >/dev/null |
    grep -E '^ReadOut.*(median)'
echo

echo "== size, stripped"
strip -o "$work/dynamic" "$program"
echo "dynamic: $(stat -c %s "$work/dynamic") bytes"
if [ -x "$build/tests/e2e/frostgauge_static" ]; then
    strip -o "$work/static" "$build/tests/e2e/frostgauge_static"
    echo "static:  $(stat -c %s "$work/static") bytes"
fi
echo

echo "== peak resident memory"
for args in "" "-d -x" "-h"; do
    # shellcheck disable=SC2086
    kib=$(/usr/bin/time -f %M "$program" $args 2>&1 >/dev/null | tail -n 1)
    echo "frostgauge $args: $kib KiB"
done
echo

echo "== whole runs inside the test machine (QEMU, no KVM), emulators answering at once"
tests/e2e/run-vm.sh bench "$build" "$build/tests/e2e/frostgauge_static" \
    "$build/tests/e2e/thermometer_emulator"

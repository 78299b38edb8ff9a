#!/bin/sh
# Prints what the program costs: start-up against /bin/true, the read-out's
# own time, size and peak memory; figures, not pass or fail.
# Usage: bench.sh BUILD_DIR
set -eu
build=${1:-build}
program="$build/frostgauge"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), kernel $(uname -r)"
echo

static="$build/tests/e2e/frostgauge_static"
[ -x "$static" ] || static=

# Most of a run that finds nothing is loading the program: the static build,
# which loads no library, shows the floor.
echo "== whole run that finds no device, against /bin/true (median of 500 runs; aim: ratio 1.2 at most)"
# shellcheck disable=SC2086
hyperfine -N --warmup 50 --runs 500 --export-json "$work/start.json" \
    /bin/true "$program" $static >/dev/null 2>&1
awk -F'[:,]' '/"median"/ { m[n++] = $2 } END {
    printf "/bin/true %.0f us\n", m[0] * 1e6
    printf "frostgauge %.0f us, ratio %.2f\n", m[1] * 1e6, m[1] / m[0]
    if (n > 2) printf "static build %.0f us, ratio %.2f\n", m[2] * 1e6, m[2] / m[0] }' \
    "$work/start.json"
echo

echo "== read-out beyond its 20 ms pause, stand-in device answering at once"
"$build/tests/readout_bench" --benchmark_out=/dev/stderr --benchmark_out_format=console \
    --benchmark_repetitions=5 --benchmark_report_aggregates_only=true 2>&1 >/dev/null |
    grep -E '^ReadOut.*(median)'
echo

echo "== size, stripped"
size() {  # NAME PROGRAM
    strip -o "$work/stripped" "$2"
    bytes=$(stat -c %s "$work/stripped")
    echo "$1: $bytes bytes ($((bytes / 1024)) KiB)"
}
size frostgauge "$program"
[ -z "$static" ] || size "static build" "$static"
echo "libraries it loads: $(readelf -d "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p' | paste -sd ' ' -)"
echo

echo "== peak resident memory, median of 21 runs (aim: 1.2 MiB at most for a run that finds nothing)"
# One run's figure wanders by a few pages from run to run.
rss() {  # NAME PROGRAM ARGS...
    name=$1
    shift
    kib=$(for run in $(seq 21); do
        /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -n 1
    done | sort -n | sed -n 11p)
    echo "$name: $kib KiB ($(awk "BEGIN { printf \"%.2f\", $kib / 1024 }") MiB)"
}
rss "/bin/true" /bin/true
rss "frostgauge" "$program"
rss "frostgauge -d -x" "$program" -d -x
rss "frostgauge -h" "$program" -h
[ -z "$static" ] || rss "static build" "$static"
echo

echo "== whole runs inside the test machine (QEMU, no KVM), emulators answering at once"
tests/e2e/run-vm.sh bench "$build" "$build/tests/e2e/frostgauge_static" \
    "$build/tests/e2e/e2e_guest"
echo

# The same row, read by the bare exchange (pause 20 ms, three commands, four
# answers, nothing more) and by frostgauge, a boot each in turn: the machine
# drifts by several ms between boots, so each figure is the best of three.
echo "== a read against the bare exchange, in the test machine (aim: 1.15 at most)"
for _ in 1 2 3; do
    for program in bare_exchange e2e/frostgauge_static; do
        FROSTGAUGE_E2E_ROWS='^bench: one thermometer' tests/e2e/run-vm.sh bench "$build" \
            "$build/tests/$program" "$build/tests/e2e/e2e_guest" |
            sed -n "s|.*a run: median \([0-9]*\) ms.*|${program##*/} \1|p"
    done
done | awk '{ if (!($1 in best) || $2 < best[$1]) best[$1] = $2; print "  " $1 ": median " $2 " ms" }
    END { printf "best of three: bare exchange %d ms, frostgauge %d ms, ratio %.2f\n",
          best["bare_exchange"], best["frostgauge_static"], best["frostgauge_static"] / best["bare_exchange"] }'

#!/bin/sh
# Runs the built program as a user would, on a machine without HID devices:
# help text, exit statuses, and the silence of an empty bus.
# Usage: program_runs.sh PROGRAM HELP_GOLDEN [valgrind | "EMULATOR ARGS"]
program=$1
golden=$2
runner=
case "${3:-}" in
"") ;;
valgrind)
    command -v valgrind >/dev/null || { echo "valgrind missing"; exit 77; }
    runner="valgrind -q --leak-check=full --errors-for-leak-kinds=all --error-exitcode=99"
    ;;
*) runner=$3 ;;  # runs a cross-built program
esac

failed=0
passed=0
out=$(mktemp)
trap 'rm -f "$out"' EXIT

# check NAME EXPECTED_STATUS EXPECTED_OUTPUT_FILE ARGS... (standard output
# goes to $into where it is set; nothing is captured then)
check() {
    name=$1 want_status=$2 want_out=$3
    shift 3
    : >"$out"
    $runner "$program" "$@" >"${into:-$out}"
    status=$?
    if [ "$status" -ne "$want_status" ]; then
        echo "FAIL $name: status $status, expected $want_status"
        failed=$((failed + 1))
    elif ! cmp -s "$out" "$want_out"; then
        echo "FAIL $name: output differs"
        diff "$want_out" "$out" | head -20
        failed=$((failed + 1))
    else
        echo "ok   $name"
        passed=$((passed + 1))
    fi
}

check "-h" 0 "$golden" -h
check "-q" 0 "$golden" -q
check "lone dash" 0 "$golden" -
check "-d -f -t -x -h" 0 "$golden" -d -f -t -x -h
check "foo" 1 "$golden" foo
check "-d foo" 1 "$golden" -d foo
check "empty argument" 1 "$golden" ""
# Output that cannot be written is a failure, help text included.
into=/dev/full check "-h into a full disk" 1 /dev/null -h
# So is output into a pipe whose reader has gone: status 1, not SIGPIPE's death.
status=$( { { sleep 0.2; $runner "$program" -h; echo $? >&3; } | true; } 3>&1)
if [ "$status" = 1 ]; then
    echo "ok   -h into a closed pipe"
    passed=$((passed + 1))
else
    echo "FAIL -h into a closed pipe: status $status, expected 1"
    failed=$((failed + 1))
fi

if [ -n "$(ls -A /sys/class/hidraw 2>/dev/null)" ]; then
    echo "skip runs without devices: this machine has hidraw nodes"
else
    check "no options, no device" 0 /dev/null
    check "-d, no device" 0 /dev/null -d
    check "every option, no device" 0 /dev/null -d -f -t -x
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]

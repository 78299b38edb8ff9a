#!/bin/sh
# Runs the Windows program under Wine as a user would: the help text with
# CR LF line ends, the exit statuses, and Wine's two virtual HID devices
# (vendor 33886, products 1 and 2), neither of them a thermometer.
# Usage: program_runs.sh WINE_RUNNER PROGRAM HELP_GOLDEN PLANTED_HID_DLL
runner=$1
program=$2
golden=$3
planted=$4

failed=0
passed=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Standard output is in text mode: every "\n" arrives as CR LF.
sed 's/$/\r/' "$golden" >"$work/help"
printf 'VendorID: 33886\r\nProductID: 1\r\nVersionNumber: 0\r\nVendorID: 33886\r\nProductID: 2\r\nVersionNumber: 0\r\n' \
    >"$work/virtual-devices"
: >"$work/nothing"

# Wine's own messages ("wine: ...", "0024:err:...") are not the program's,
# which writes nothing to standard error.
program_stderr() {
    grep -Ev '^(wine: |[0-9a-f]{4}:(err|fixme|warn|trace):)' "$work/err"
}

# check NAME EXPECTED_STATUS EXPECTED_OUTPUT_FILE ARGS... (standard output
# goes to $into where it is set; nothing is captured then)
check() {
    name=$1 want_status=$2 want_out=$3
    shift 3
    : >"$work/out"
    "$runner" "$program" "$@" >"${into:-$work/out}" 2>"$work/err"
    status=$?
    if [ "$status" -ne "$want_status" ]; then
        echo "FAIL $name: status $status, expected $want_status"
        failed=$((failed + 1))
    elif ! cmp -s "$work/out" "$want_out"; then
        echo "FAIL $name: output differs"
        diff "$want_out" "$work/out" | cat -A | head -20
        failed=$((failed + 1))
    elif program_stderr >/dev/null; then
        echo "FAIL $name: the program wrote to standard error"
        program_stderr | head -5
        failed=$((failed + 1))
    else
        echo "ok   $name"
        passed=$((passed + 1))
    fi
}

check "-h" 0 "$work/help" -h
check "-q" 0 "$work/help" -q
check "lone dash" 0 "$work/help" -
check "-d -f -t -x -h" 0 "$work/help" -d -f -t -x -h
check "foo" 1 "$work/help" foo
check "-d foo" 1 "$work/help" -d foo
check "empty argument" 1 "$work/help" ""
check "no options, no thermometer" 0 "$work/nothing"
check "-d lists the devices, no thermometer" 0 "$work/virtual-devices" -d
check "every option, no thermometer" 0 "$work/virtual-devices" -d -f -t -x
# Output that cannot be written is a failure, help text included.
into=/dev/full check "-h into a full disk" 1 "$work/nothing" -h
# HID.DLL comes from the system folder, not from beside the program.
mkdir "$work/planted"
cp "$program" "$work/planted/frostgauge.exe"
cp "$planted" "$work/planted/hid.dll" || exit 1
program=$work/planted/frostgauge.exe check "-d, a HID.DLL planted beside it" 0 "$work/virtual-devices" -d

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]

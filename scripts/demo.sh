#!/bin/sh
# Shows the program's main job: `frostgauge -d`, then `frostgauge -x`, on the
# thermometers attached to this machine, or, when none is, on an emulated one
# inside a virtual machine.
# Usage: demo.sh BUILD_DIR
build=${1:-build}

attached() {
    for uevent in /sys/class/hidraw/*/device/uevent; do
        grep -qix 'HID_ID=0003:00000C45:00007401' "$uevent" 2>/dev/null && return 0
    done
    return 1
}

if attached; then
    for option in -d -x; do
        echo "\$ frostgauge $option"
        output=$("$build/frostgauge" "$option")
        status=$?
        printf '%s\n' "$output"  # the plain value ends without a line break
        echo "[exit status $status]"
    done
    exit 0
fi

echo "No thermometer is attached: booting a Linux kernel under QEMU with an emulated"
echo "one on its USB bus, whose sensor reads 24.125 degrees and whose calibration"
echo "offset is -1: frostgauge prints 23.125. This takes about 10 seconds."
echo
exec "$(dirname "$0")/../tests/e2e/run-vm.sh" demo "$build" "$build/tests/e2e/frostgauge_static" \
    "$build/tests/e2e/e2e_guest"

#!/bin/sh
# Boots Debian's current kernel under QEMU with emulated thermometers on a USB
# gadget bus and runs frostgauge against them: every scenario of
# scenarios.txt (check), the README's two commands (demo), or timed runs
# (bench). Usage: run-vm.sh check|demo|bench BUILD_DIR PROGRAM EMULATOR [DYNAMIC_PROGRAM]
# With DYNAMIC_PROGRAM, the machine also carries valgrind's memcheck and runs
# that program under it in the scenarios whose user is "valgrind".
set -eu
mode=$1
build=$2
program=$3
emulator=$4
dynamic=${5:-}
here=$(cd "$(dirname "$0")" && pwd)
cache=$build/e2e-cache
work=$build/e2e

# In load order; the guest inserts them sorted by name.
modules="fs/configfs/configfs drivers/usb/common/usb-common drivers/usb/core/usbcore
drivers/usb/gadget/udc/udc-core drivers/usb/gadget/libcomposite
drivers/usb/gadget/function/usb_f_hid drivers/usb/gadget/udc/dummy_hcd drivers/hid/hid
drivers/hid/usbhid/usbhid drivers/hid/hid-generic"

for tool in qemu-system-x86_64 cpio gzip; do
    if ! command -v "$tool" >/dev/null; then
        echo "skip: $tool is missing (scripts/install-deps.sh installs it)"
        exit 77
    fi
done
busybox=$(command -v busybox || true)
if [ -z "$busybox" ] || ldd "$busybox" >/dev/null 2>&1; then
    echo "skip: a static busybox is missing (scripts/install-deps.sh installs busybox-static)"
    exit 77
fi

kernel_package() {
    apt-cache depends linux-image-amd64 2>/dev/null |
        sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*\)$/\1/p' | head -n 1
}

# Leaves the kernel and the modules of the current Debian kernel package in
# $kernel_dir, downloading it unless it is cached already.
fetch_kernel() {
    package=$(kernel_package)
    if [ -z "$package" ]; then
        apt-get update -q >/dev/null 2>&1 || true
        package=$(kernel_package)
    fi
    if [ -z "$package" ]; then
        # Offline: any kernel fetched before will do.
        kernel_dir=$(find "$cache" -mindepth 1 -maxdepth 1 -type d 2>/dev/null | head -n 1)
        [ -n "$kernel_dir" ] || { echo "cannot name Debian's kernel package"; return 1; }
        return 0
    fi
    kernel_dir=$cache/$package
    [ -f "$kernel_dir/vmlinuz" ] && return 0

    echo "Fetching $package (about 70 MB, once)"
    rm -rf "$cache"
    mkdir -p "$kernel_dir/files"
    (cd "$cache" && apt-get download -q "$package" 2>&1 | grep -v unsandboxed) || true
    deb=$(find "$cache" -maxdepth 1 -name "${package}_*.deb" | head -n 1)
    [ -n "$deb" ] || { echo "apt-get download $package failed"; return 1; }
    patterns='./boot/vmlinuz-*'
    for module in $modules; do
        patterns="$patterns ./lib/modules/*/kernel/$module.ko*"
    done
    # shellcheck disable=SC2086
    dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$kernel_dir/files" --wildcards $patterns
    rm -f "$deb"
    mv "$kernel_dir"/files/boot/vmlinuz-* "$kernel_dir/vmlinuz.tmp"
    find "$kernel_dir/files" -name '*.ko.xz' -exec "$busybox" unxz {} \;
    find "$kernel_dir/files" -name '*.ko.zst' -exec zstd -q -d --rm {} \;
    mv "$kernel_dir/vmlinuz.tmp" "$kernel_dir/vmlinuz"  # last: marks the cache complete
}

build_initramfs() {
    root=$work/root
    rm -rf "$root"
    mkdir -p "$root/bin" "$root/modules" "$root/e2e" "$root/etc" "$root/proc" "$root/sys" \
        "$root/dev" "$root/tmp"
    cp "$busybox" "$root/bin/busybox"
    cp "$program" "$root/bin/frostgauge"
    cp "$emulator" "$root/bin/thermometer_emulator"
    valgrind_files=
    if [ -n "$dynamic" ]; then
        cp "$dynamic" "$root/bin/frostgauge-dynamic"
        cp /usr/bin/valgrind.bin "$root/bin/valgrind"
        for file in memcheck-amd64-linux vgpreload_core-amd64-linux.so \
            vgpreload_memcheck-amd64-linux.so default.supp; do
            valgrind_files="$valgrind_files /usr/libexec/valgrind/$file"
        done
    fi
    for file in $valgrind_files; do
        mkdir -p "$root$(dirname "$file")"
        cp "$file" "$root$file"
    done
    # A dynamically linked program (the sanitized one) brings its libraries.
    for binary in "$program" "$emulator" $dynamic $valgrind_files; do
        for library in $(ldd "$binary" 2>/dev/null | grep -o '/[^ ]*'); do
            mkdir -p "$root$(dirname "$library")"
            cp -L "$library" "$root$library"
        done
    done
    if [ -n "$dynamic" ]; then
        # memcheck must find the loader's symbols, which Debian keeps apart.
        loader=$(ldd "$dynamic" | grep -o '/[^ ]*ld-linux[^ ]*')
        id=$(readelf -n "$loader" | sed -n 's/^ *Build ID: //p')
        symbols=/usr/lib/debug/.build-id/$(echo "$id" | cut -c1-2)/$(echo "$id" | cut -c3-).debug
        [ -f "$symbols" ] || { echo "$symbols is missing (package libc6-dbg)"; return 1; }
        mkdir -p "$root$(dirname "$symbols")"
        cp "$symbols" "$root$symbols"
    fi
    cp "$here/guest-init.sh" "$root/init"
    cp -r "$here/scenarios.txt" "$here/expected" "$root/e2e/"
    if [ "$mode" = demo ] && [ -f /etc/localtime ]; then
        cp -L /etc/localtime "$root/etc/localtime"  # the demo shows this machine's local time
    fi
    number=10
    for module in $modules; do
        file=$(find "$kernel_dir/files" -path "*/kernel/$module.ko" | head -n 1)
        [ -n "$file" ] || { echo "module $module.ko is missing from the kernel package"; return 1; }
        cp "$file" "$root/modules/$number-$(basename "$file")"
        number=$((number + 1))
    done
    (cd "$root" && find . | cpio -o -H newc -R 0:0 --quiet) | gzip -1 >"$work/initramfs.gz"
}

boot() {
    accel=tcg
    # Some sandboxes offer a /dev/kvm that cannot run guests: trust it only
    # when the processor has virtualisation extensions.
    if [ -w /dev/kvm ] && grep -qwE 'vmx|svm' /proc/cpuinfo; then
        accel=kvm
    fi
    append="console=ttyS0 quiet panic=-1"
    [ "$mode" = check ] || append="$append frostgauge=$mode"
    # A hang anywhere in the guest ends here, not in CI.
    timeout 450 qemu-system-x86_64 -accel "$accel" -m 512 -smp 2 -nographic -no-reboot \
        -kernel "$kernel_dir/vmlinuz" -initrd "$work/initramfs.gz" -append "$append" \
        </dev/null >"$work/console.log" 2>&1 || true
    tr -d '\r' <"$work/console.log" >"$work/console.txt"
}

mkdir -p "$work"
fetch_kernel
build_initramfs
began=$(date +%s)
boot
took=$(($(date +%s) - began))

if [ "$mode" = bench ]; then
    sed -n 's/^e2e: bench: //p' "$work/console.txt"
    exit 0
fi
if [ "$mode" = demo ]; then
    if ! grep -q '^e2e-demo-end$' "$work/console.txt"; then
        echo "The emulated thermometer did not come up; the console said:"
        tail -n 30 "$work/console.txt"
        exit 1
    fi
    sed -n '/^e2e-demo-begin$/,/^e2e-demo-end$/p' "$work/console.txt" | sed '1d;$d'
    exit 0
fi

summary=$(sed -n 's/^e2e: \([0-9]* passed, [0-9]* failed\)$/\1/p' "$work/console.txt")
sed -n 's/^e2e: //p' "$work/console.txt" | grep -vxF "$summary" || true
echo "boot and scenarios took $took s"
[ -z "$summary" ] || echo "$summary"
case $summary in
[1-9]*" passed, 0 failed") exit 0 ;;
"")
    echo "The run did not finish; the console's end ($work/console.txt):"
    tail -n 30 "$work/console.txt"
    exit 1
    ;;
*) exit 1 ;;
esac

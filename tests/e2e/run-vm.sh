#!/bin/sh
# Boots a Debian kernel under QEMU, with the guest program (guest.cpp)
# playing emulated thermometers on a USB gadget bus, and relays what it
# reports: the line's rows of scenarios.txt (check), or those tagged [MODE]
# (demo, bench or soak).
# Usage: run-vm.sh [--platform NAME] MODE BUILD_DIR PROGRAM GUEST [PROGRAM32 [TESTS32]]
# NAME is a line of platforms.txt ("wine": its first Wine line), the first
# without it. A "wine" line runs both frostgauge.exe under the host's Wine,
# which the guest mounts over 9p, its 32-bit half from Debian's i386
# packages, fetched here; there run the 32-bit unit tests too.
set -eu
platform=
[ "$1" != --platform ] || { platform=$2; shift 2; }
mode=$1 build=$2 program=$3 guest=$4 program32=${5:-} tests32=${6:-}
here=$(cd "$(dirname "$0")" && pwd)
share=$(cd "$build" && pwd)/e2e-wine  # the guest's only writable folder of the host: Wine's prefix, the .exe files
line=$(awk -v name="$platform" '/^[a-z]/ && (name == "" || $1 == name || (name == "wine" && $6 == name)) {
    print; exit }' "$here/platforms.txt")
[ -n "$line" ] || { echo "no test machine $platform in $here/platforms.txt"; exit 1; }
# shellcheck disable=SC2086
set -- $line
platform=$1 release=$2 arch=$3 kernel_pin=$4 cpu=$5 libc=$6 rows=$7 extras=$8
windows=false
[ "$libc" != wine ] || windows=true
case $arch in
amd64) qemu=qemu-system-x86_64 console=ttyS0 triplet=x86_64-linux-gnu ;;
arm64) qemu=qemu-system-aarch64 console=ttyAMA0 triplet=aarch64-linux-gnu ;;
armhf) qemu=qemu-system-arm console=ttyAMA0 triplet=arm-linux-gnueabihf ;;
*) echo "platforms.txt: the line $platform names an unknown architecture, $arch"; exit 1 ;;
esac
machine=
[ "$cpu" = - ] || machine="-M ${cpu%,*} -cpu ${cpu#*,}"
cache=$(cd "$build" && pwd)/e2e-cache/$platform
work=$build/e2e/$mode-$platform

# In load order; the guest inserts them sorted by name.
modules="fs/configfs/configfs drivers/usb/common/usb-common drivers/usb/core/usbcore
drivers/usb/gadget/udc/udc-core drivers/usb/gadget/libcomposite
drivers/usb/gadget/function/usb_f_hid drivers/usb/gadget/udc/dummy_hcd drivers/hid/hid
drivers/hid/usbhid/usbhid drivers/hid/hid-generic"
# The guest mounts the host over 9p only to run Wine.
share_modules=
$windows && share_modules="drivers/virtio/virtio_ring drivers/virtio/virtio
drivers/virtio/virtio_pci_legacy_dev drivers/virtio/virtio_pci_modern_dev drivers/virtio/virtio_pci
fs/netfs/netfs fs/fscache/fscache net/9p/9pnet net/9p/9pnet_virtio fs/9p/9p fs/overlayfs/overlay"
udev=false
case ",$extras," in *,udev,*) [ "$mode" != check ] || udev=true ;; esac

tools="$qemu cpio gzip"
! $udev || tools="$tools udevadm"
for tool in $tools; do
    command -v "$tool" >/dev/null || { echo "skip: $tool is missing (scripts/install-deps.sh installs it)"; exit 77; }
done
busybox=$(command -v busybox || true)
[ -n "$busybox" ] && ! ldd "$busybox" >/dev/null 2>&1 ||
    { echo "skip: a static busybox is missing (scripts/install-deps.sh installs busybox-static)"; exit 77; }

# This machine's Debian mirror (ARCHIVE: debian or debian-security), for any release.
host_mirror() {  # archive
    found=$(grep -rhoE "https?://[^ ]+/$1/?( |\$)" /etc/apt/sources.list /etc/apt/sources.list.d 2>/dev/null |
        head -n 1 | tr -d ' ')
    found=${found%/}
    echo "${found:-http://deb.debian.org/$1}"
}
mirror=$(host_mirror debian)
security=$(host_mirror debian-security)

# apt-get or apt-cache on lists of their own in FOLDER, for one release and
# architecture: any release's packages, and this machine's stay as they are.
release_apt() {  # tool folder release architecture arguments...
    tool=$1 folder=$2 suite=$3 apt_arch=$4
    shift 4
    if [ ! -f "$folder/sources.list" ]; then
        mkdir -p "$folder/lists/partial" "$folder/archives/partial" "$folder/sources.list.d"
        : >"$folder/status"
        keyring=/usr/share/keyrings/debian-archive-keyring.gpg
        printf "deb [signed-by=$keyring] %s\n" "$mirror $suite main" "$mirror $suite-updates main" \
            "$security $suite-security main" >"$folder/sources.list"
    fi
    "$tool" -o Dir::Etc::sourcelist="$folder/sources.list" -o Dir::Etc::sourceparts="$folder/sources.list.d" \
        -o Dir::State::Lists="$folder/lists" -o Dir::State::status="$folder/status" -o Dir::Cache="$folder" \
        -o Dir::Cache::archives="$folder/archives" -o APT::Architecture="$apt_arch" \
        -o APT::Architectures="$apt_arch" -o Debug::NoLocking=1 "$@"
}

# Prints the module's file; nothing when the kernel has it built in (armmp's
# usb-common), and fails when it has neither.
module_file() {
    file=$(find "$kernel_dir/files" -path "*/kernel/$1.ko" | head -n 1)
    [ -n "$file" ] || grep -qsx "kernel/$1.ko" "$kernel_dir"/files/lib/modules/*/modules.builtin \
        "$kernel_dir"/files/usr/lib/modules/*/modules.builtin || return 1
    echo "$file"
}

# A cache made for a shorter module list lacks some: it is not complete.
cache_is_complete() {
    [ -f "$kernel_dir/vmlinuz" ] && [ -x "$cache/busybox" ] || return 1
    [ "$libc" != release ] || [ -d "$cache/libc" ] || return 1
    for module in $modules $share_modules; do
        module_file "$module" >/dev/null || return 1
    done
}

# Downloads PACKAGE of the line's release into $cache and prints the file.
download() {
    (cd "$cache" && release_apt apt-get "$cache/apt" "$release" "$arch" download -qq "$1" 2>&1 |
        grep -v unsandboxed >&2) || true
    find "$cache" -maxdepth 1 -name "${1%%[=:]*}_*.deb" | head -n 1
}

# Leaves in $kernel_dir the line's kernel and the modules the guest loads,
# and in $cache the release's busybox and, for a "release" line, its C
# library: fetched once per line, the kernel kept by package and version.
fetch_machine() {
    package=${kernel_pin%=*}
    version=${kernel_pin#*=}
    kernel_dir=$cache/${package}_$version
    cache_is_complete && return 0
    mkdir -p "$cache"
    echo "Fetching $platform's kernel and busybox (70 to 110 MB, once)"
    release_apt apt-get "$cache/apt" "$release" "$arch" update -q >"$cache/apt.log" 2>&1 || true
    if ! release_apt apt-cache "$cache/apt" "$release" "$arch" show "$package" 2>/dev/null |
        grep -qx "Version: $version"; then
        # Debian replaces a release's kernel every few weeks.
        package=$(release_apt apt-cache "$cache/apt" "$release" "$arch" depends "linux-image-${package##*-}" \
            2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*\)$/\1/p' | head -n 1)
        version=$(release_apt apt-cache "$cache/apt" "$release" "$arch" policy "$package" 2>/dev/null |
            sed -n 's/^ *Candidate: //p')
        if [ -z "$package" ] || [ -z "$version" ]; then
            # Offline: a kernel fetched before will do.
            kernel_dir=$(find "$cache" -mindepth 1 -maxdepth 1 -name 'linux-image-*' | head -n 1)
            cache_is_complete && return 0
            tail -n 5 "$cache/apt.log"
            echo "cannot fetch $kernel_pin from $release"
            return 1
        fi
        echo "warning: the mirror no longer has $kernel_pin; $platform boots $package=$version," \
            "which no line of tests/e2e/platforms.txt names"
        kernel_dir=$cache/${package}_$version
        cache_is_complete && return 0
    fi
    deb=$(download "$package=$version")
    [ -n "$deb" ] || { echo "cannot download $package=$version"; return 1; }
    rm -rf "$cache"/linux-image-*/ "$cache/busybox" "$cache/libc"
    mkdir -p "$kernel_dir/files"
    patterns='./boot/vmlinuz-*'
    for modules_dir in ./lib/modules ./usr/lib/modules; do  # Debian 13 moved them
        patterns="$patterns $modules_dir/*/modules.builtin"
        for module in $modules $share_modules; do
            patterns="$patterns $modules_dir/*/kernel/$module.ko*"
        done
    done
    # A module built into the kernel has no file: module_file says which lack.
    # shellcheck disable=SC2086
    dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$kernel_dir/files" --wildcards $patterns 2>/dev/null || true
    rm -f "$deb"
    find "$kernel_dir/files" -name '*.ko.xz' -exec "$busybox" unxz {} \;
    find "$kernel_dir/files" -name '*.ko.zst' -exec zstd -q -d --rm {} \;
    deb=$(download busybox-static)
    [ -n "$deb" ] || { echo "cannot download busybox-static"; return 1; }
    dpkg-deb -x "$deb" "$cache/unpacked"
    rm -f "$deb"
    mv "$(find "$cache/unpacked" -path "*/bin/busybox" -type f | head -n 1)" "$cache/busybox.tmp"
    rm -rf "$cache/unpacked"
    if [ "$libc" = release ]; then
        deb=$(download libc6)
        [ -n "$deb" ] || { echo "cannot download libc6"; return 1; }
        dpkg-deb -x "$deb" "$cache/libc"
        rm -f "$deb"
    fi
    mv "$cache/busybox.tmp" "$cache/busybox"
    mv "$kernel_dir"/files/boot/vmlinuz-* "$kernel_dir/vmlinuz"  # last: marks the cache complete
}

# 32-bit Wine, for the guest only: Debian's i386 packages of the host's Wine
# version, with lists of their own, unpacked (never installed) into a root
# that the guest lays over the host's. So neither this machine's
# architectures nor whether its kernel runs 32-bit code matter.
fetch_wine32() {
    version=$(dpkg-query -W -f='${Version}' wine64 2>/dev/null) || { echo "wine64 is missing"; return 1; }
    wine32=$(cd "$build" && pwd)/e2e-cache-wine32/$version
    [ -x "$wine32/root/usr/lib/wine/wine" ] && return 0
    echo "Fetching 32-bit Wine $version (about 140 MB, once)"
    rm -rf "${wine32%/*}"
    apt=$wine32/apt
    mkdir -p "$wine32/unpacked"
    # A list the mirror fails to serve costs only its newer versions.
    release_apt apt-get "$apt" "$release" i386 update -q >"$wine32/apt.log" 2>&1 || true
    if ! release_apt apt-get "$apt" "$release" i386 install -y -q --download-only --no-install-recommends \
        "wine32=$version" >>"$wine32/apt.log" 2>&1; then
        tail -n 20 "$wine32/apt.log"
        echo "cannot fetch 32-bit Wine $version"
        return 1
    fi
    for deb in "$apt"/archives/*.deb; do
        dpkg-deb -x "$deb" "$wine32/unpacked"
    done
    # Only the loader and the libraries, under /usr as on a merged-/usr
    # Debian: a directory of its own at /lib would hide the host's.
    mkdir -p "$wine32/root/usr/lib/wine"
    mv "$wine32/unpacked/usr/lib/i386-linux-gnu" "$wine32/root/usr/lib/"
    cp -a "$wine32/unpacked/lib/i386-linux-gnu/." "$wine32/root/usr/lib/i386-linux-gnu/"
    cp -a "$wine32/unpacked/lib/ld-linux.so.2" "$wine32/root/usr/lib/"
    # The zlib that libwine's install script makes from MinGW's, as Wine's own.
    zlib=$wine32/unpacked/usr/i686-w64-mingw32/lib/zlib1.dll
    {
        head -c 64 "$zlib"
        printf 'Wine builtin DLL\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0'
        tail -c +97 "$zlib"
    } >"$wine32/root/usr/lib/i386-linux-gnu/wine/i386-windows/zlib1.dll"
    mv "$wine32/unpacked/usr/lib/wine/wine" "$wine32/root/usr/lib/wine/"  # last: marks the root complete
    rm -rf "$apt" "$wine32/unpacked"
}

# Wine's prefix is made here once per build folder (about 700 MB, so the
# guest mounts it rather than carrying it) and its registry restored at
# each boot, so that every boot lists devices from the same start.
make_prefix() {
    wine=$here/../../cmake/wine.sh
    # The 64-bit half; the 32-bit one below. A prefix whose wineboot failed
    # lacks kernel32.
    if [ ! -f "$share/pristine/system.reg" ] || [ ! -f "$share/prefix/drive_c/windows/system32/kernel32.dll" ]; then
        echo "Making a Wine prefix for the test machine (once)"
        rm -rf "$share"
        mkdir -p "$share/pristine"
        (
            export WINEPREFIX="$share/prefix" WINEDEBUG=-all
            "$wine" wineboot --init >/dev/null 2>&1
            # No udevd runs in the guest: Wine's bus must list /dev/hidraw* itself.
            key='HKLM\System\CurrentControlSet\Services\WineBus'
            "$wine" reg add "$key" /v 'Enable SDL' /t REG_DWORD /d 0 /f >/dev/null 2>&1
            "$wine" reg add "$key" /v DisableUdevd /t REG_DWORD /d 1 /f >/dev/null 2>&1
            # The registry reaches the files when the server ends.
            "$(command -v wineserver || echo /usr/lib/wine/wineserver)" --wait
        )
        cp "$share"/prefix/*.reg "$share/pristine/"
    fi
    # The 32-bit half, by wineboot's Wow64 step under 32-bit Wine laid over
    # this machine's root, where its kernel runs 32-bit code and root may
    # mount: 15 s here, against minutes in the guest, which does it otherwise.
    # Overlayfs refuses a layer inside another: 32-bit Wine goes to a tmpfs.
    if [ -n "$program32" ] && [ ! -f "$share/prefix/drive_c/windows/syswow64/kernel32.dll" ]; then
        mkdir -p "$work/wine32"
        # shellcheck disable=SC2016
        unshare -m sh -euc 'dir=$3; mount -t tmpfs none "$dir"; mkdir "$dir/wine32" "$dir/root"
            cp -a "$1/." "$dir/wine32/"; root=$dir/root
            mount -t overlay -o lowerdir="$dir/wine32:/" overlay "$root"
            for fs in proc sys dev; do mount --bind "/$fs" "$root/$fs"; done
            mount -t tmpfs none "$root/tmp"; mount --bind "$2" "$root/mnt"
            set -- env WINEPREFIX=/mnt/prefix WINEDEBUG=-all HOME=/tmp
            chroot "$root" "$@" WINEBOOTSTRAPMODE=1 /usr/lib/wine/wine \
                /usr/lib/i386-linux-gnu/wine/i386-windows/rundll32.exe \
                setupapi,InstallHinfSection Wow64Install 128 "\\\\?\\unix/usr/share/wine/wine.inf"
            chroot "$root" "$@" /usr/lib/wine/wineserver -w' sh "$wine32/root" "$share" "$work/wine32" \
            >/dev/null 2>&1 || true
        rmdir "$work/wine32"
        [ ! -f "$share/prefix/drive_c/windows/syswow64/kernel32.dll" ] || cp "$share"/prefix/*.reg "$share/pristine/"
    fi
    cp "$share"/pristine/*.reg "$share/prefix/"
}

build_initramfs() {
    root=$work/root
    rm -rf "$root"
    mkdir -p "$root/bin" "$root/modules" "$root/e2e" "$root/etc" "$root/proc" "$root/sys" \
        "$root/dev" "$root/tmp" "$root/run"
    cp "$cache/busybox" "$root/bin/busybox"
    if $windows; then
        cp "$program" "$share/frostgauge.exe"  # Wine runs them from the host
        rm -f "$share/frostgauge32.exe"
        [ -z "$program32" ] || cp "$program32" "$share/frostgauge32.exe"
        [ -z "$program32" ] || : >"$root/e2e/wine32"  # lay 32-bit Wine over the host's root
        # Where the guest finds the 32-bit tests: the host's paths, which it
        # sees alike.
        [ -z "$tests32" ] || printf 'tests=%s\nsource=%s\n' "$(cd "$(dirname "$tests32")" && pwd)/$(basename "$tests32")" \
            "$(cd "$here/../.." && pwd)" >"$root/e2e/tests32"
    else
        cp "$program" "$root/bin/frostgauge"
    fi
    cp "$guest" "$root/bin/guest"
    # A dynamically linked program (the sanitized one) brings its libraries.
    binaries=
    $windows || binaries=$program
    if $udev; then
        udevadm=$(command -v udevadm)
        cp "$udevadm" "$root/bin/udevadm"
        mkdir -p "$root/lib/systemd" "$root/lib/udev/rules.d"
        ln -s /bin/udevadm "$root/lib/systemd/systemd-udevd"
        cp "$here/../../packaging/70-frostgauge.rules" "$root/lib/udev/rules.d/"
        binaries="$binaries $udevadm"
    fi
    if ! $windows && { [ "$libc" = release ] || [ "$arch" != amd64 ]; }; then
        # The packaged program needs the loader and C library it names: the
        # release's, or Debian's build of them that the cross compiler's
        # packages hold.
        libraries=/usr/$triplet/lib
        [ "$libc" = build ] || libraries=$cache/libc
        loader=$(readelf -l "$program" | sed -n 's/.*interpreter: \(.*\)]$/\1/p')
        mkdir -p "$root/lib/$triplet" "$root$(dirname "$loader")"
        for library in "$(basename "$loader")" $(readelf -d "$program" |
            sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p'); do
            file=$(find "$libraries" -name "$library" -type f | head -n 1)
            [ -n "$file" ] || { echo "$library is missing from $libraries"; return 1; }
            target=$root/lib/$triplet/$library
            [ "$library" != "$(basename "$loader")" ] || target=$root$loader
            cp -L "$file" "$target"
        done
        binaries=
    fi
    for binary in $binaries "$guest"; do
        for library in $(ldd "$binary" 2>/dev/null | grep -o '/[^ ]*'); do
            mkdir -p "$root$(dirname "$library")"
            cp -L "$library" "$root$library"
        done
    done
    cp "$here/guest-init.sh" "$root/init"
    cp "$here/guest-wine.sh" "$root/bin/"
    cp -r "$here/expected" "$root/e2e/"
    # For trying rows out: FROSTGAUGE_E2E_ROWS, a pattern, picks rows by name,
    # and FROSTGAUGE_E2E_REPEAT plays them that many times.
    for _ in $(seq "${FROSTGAUGE_E2E_REPEAT:-1}"); do
        awk -F'|' -v rows="${FROSTGAUGE_E2E_ROWS:-.}" '$1 ~ rows && NF > 1' "$here/scenarios.txt"
    done >"$root/e2e/scenarios.txt"
    number=10
    $windows && modules="$modules $share_modules"
    for module in $modules; do
        file=$(module_file "$module") ||
            { echo "module $module.ko is missing from the kernel package"; return 1; }
        [ -n "$file" ] || continue
        cp "$file" "$root/modules/$number-$(basename "$file")"
        number=$((number + 1))
    done
    (cd "$root" && find . | cpio -o -H newc -R 0:0 --quiet) | gzip -1 >"$work/initramfs.gz"
}

boot() {
    accel=tcg
    # Some sandboxes offer a /dev/kvm that cannot run guests: trust it only
    # when the processor has virtualisation extensions.
    if [ "$arch" = amd64 ] && [ -w /dev/kvm ] && grep -qwE 'vmx|svm' /proc/cpuinfo; then
        accel=kvm
    fi
    append="console=$console quiet panic=-1 rows=$rows"
    [ "$mode" = check ] || append="$append frostgauge=$mode"
    ! $windows || append="$append wine=1"
    # A shorter or longer soak, for trying it out.
    [ -z "${FROSTGAUGE_SOAK_RUNS:-}" ] || append="$append soak_runs=$FROSTGAUGE_SOAK_RUNS"
    memory=512
    set --
    if $windows; then
        memory=1024  # Wine's services
        # The host's root read-only for Wine's files, and one writable folder.
        set -- -fsdev local,id=root,path=/,security_model=none,readonly=on,multidevs=remap \
            -device virtio-9p-pci,fsdev=root,mount_tag=hostroot \
            -fsdev local,id=share,path="$share",security_model=none,multidevs=remap \
            -device virtio-9p-pci,fsdev=share,mount_tag=share
        [ -z "$program32" ] || set -- "$@" \
            -fsdev local,id=wine32,path="$wine32/root",security_model=none,readonly=on,multidevs=remap \
            -device virtio-9p-pci,fsdev=wine32,mount_tag=wine32
    fi
    # A hang anywhere in the guest ends here, not in CI.
    limit=540
    [ "$mode" != check ] || ! $windows || limit=1500
    [ "$mode" != soak ] || limit=5400
    # Emulated, a second processor cost more than it gave: with one, make
    # check took 2 min less processor time, and the Wine rows alone were as
    # fast.
    cpus=2
    [ "$accel" = kvm ] || cpus=1
    # shellcheck disable=SC2086
    timeout "$limit" "$qemu" $machine -accel "$accel" -m "$memory" -smp "$cpus" -nographic -no-reboot \
        -kernel "$kernel_dir/vmlinuz" -initrd "$work/initramfs.gz" -append "$append" "$@" \
        </dev/null 2>&1 | tee "$work/console.log" |
        sed -un 's/\r$//; /^e2e: boot [a-z]*$/d; s/^e2e: //p' || true
    tr -d '\r' <"$work/console.log" >"$work/console.txt"
}

mkdir -p "$work"
# Two boots may start at once (ctest -j): one fetches, the other waits for it.
exec 9>"$build/e2e-cache.lock"
flock 9
fetch_machine
[ -z "$program32" ] || fetch_wine32
flock -u 9
! $windows || make_prefix
build_initramfs
boot
# The guest program reports as it goes, and ends with its verdict.
grep -qx 'e2e: boot passed' "$work/console.txt" && exit 0
grep -qx 'e2e: boot failed' "$work/console.txt" && exit 1
echo "The boot did not finish; the console's end ($work/console.txt):"
tail -n 30 "$work/console.txt"
exit 1

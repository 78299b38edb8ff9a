#!/bin/sh
# Installs the Debian packages that building and testing need, when missing.
set -eu

packages="cmake make g++ libgtest-dev valgrind locales dpkg-dev lintian groff-base
    clang-14 libclang-rt-14-dev clang-tidy cppcheck libbenchmark-dev hyperfine time"
# The Windows programs: cross compilers, and Wine to run their tests.
packages="$packages g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine64 unzip"
# The 64-bit and 32-bit ARM programs: cross compilers, and qemu-user to run their tests.
packages="$packages g++-aarch64-linux-gnu g++-arm-linux-gnueabihf qemu-user"
# The 32-bit x86 program, built with that compiler's own defaults.
packages="$packages g++-i686-linux-gnu"
# The end-to-end tests and the demo: QEMU, busybox and cpio for the initramfs;
# the ARM machines; udevd, which applies the packaged rule in the amd64 one.
packages="$packages qemu-system-x86 busybox-static cpio qemu-system-arm udev"
# valgrind needs the loader's symbols, inside the test machine too.
packages="$packages libc6-dbg"

missing=
for package in $packages; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed"; then
        missing="$missing $package"
    fi
done

if [ "$(id -u)" -ne 0 ]; then
    sudo=sudo
else
    sudo=
fi

need_update=false
# Nothing of another architecture or release is installed here: the test
# machines fetch their kernels, busybox, C libraries and 32-bit Wine with
# apt lists of their own (tests/e2e/run-vm.sh).

if [ -n "$missing" ]; then
    echo "Installing:$missing"
    need_update=true
fi
if $need_update; then
    export DEBIAN_FRONTEND=noninteractive
    # A mirror in the middle of a sync fails some lists; the others still
    # serve, and the install below says whether they were enough.
    $sudo apt-get update -q || echo "apt-get update failed for some lists; going on with the others"
fi
if [ -n "$missing" ]; then
    # shellcheck disable=SC2086
    $sudo apt-get install -y -q --no-install-recommends $missing
fi

# The output tests run under a locale whose decimal separator is a comma.
if ! locale -a 2>/dev/null | grep -qix 'de_DE.utf8'; then
    $sudo localedef -i de_DE -f UTF-8 de_DE.UTF-8
fi

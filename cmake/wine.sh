#!/bin/sh
# Runs a Windows program under Wine: ctest's emulator for the cross builds.
# Debian's wine64 package puts no `wine` on the PATH, only its loader.
export WINEDEBUG="${WINEDEBUG:--all}"
# A 32-bit program needs 32-bit Wine and a kernel that runs 32-bit code,
# which this machine need not have; make check runs those in the test machine.
case ${1:-} in *.exe)
    header=$(od -An -tu4 -j 60 -N 4 "$1" | tr -d ' ')
    machine=$(od -An -tx1 -j $((header + 4)) -N 2 "$1" | tr -d ' ')
    if [ "$machine" = 4c01 ] && ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
        echo "this machine cannot run 32-bit x86 programs; the x86 tests run in the test machine"
        exit 1
    fi
    ;;
esac
if command -v wine >/dev/null 2>&1; then
    exec wine "$@"
fi
exec /usr/lib/wine/wine64 "$@"

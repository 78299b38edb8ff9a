#!/bin/sh
# Checks that a built Linux program loads nothing at run time but the C
# library, and needs no glibc symbol newer than the version its packages
# depend on. readelf reads any architecture's programs, so the cross builds
# use it too. Usage: check_libs.sh PROGRAM DEPENDS_FILE
set -eu
program=$1
promised=$(sed -n 's/^libc6 (>= \([0-9.]*\))$/\1/p' "$2")
[ -n "$promised" ] || { echo "FAIL $2 states more than libc6 (>= VERSION)"; exit 1; }

# The loader may stand beside libc: some architectures list it.
needed=$(readelf -d "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p' | paste -sd ' ' -)
for library in $needed; do
    case $library in
    libc.so.6 | ld-linux*.so.*) ;;
    *) echo "FAIL $program needs $needed: only the C library may be there"; exit 1 ;;
    esac
done

newest=$(readelf -V -W "$program" | grep -oE 'GLIBC_[0-9][0-9.]*' | cut -c7- | sort -uV | tail -n 1)
if [ "$(printf '%s\n%s\n' "$newest" "$promised" | sort -V | tail -n 1)" != "$promised" ]; then
    echo "FAIL $program needs glibc $newest, its package promises $promised"
    exit 1
fi
echo "$program loads $needed; needs glibc $newest, its package promises $promised"

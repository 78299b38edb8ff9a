#!/bin/sh
# Checks that a Windows program loads on the oldest Windows it serves: its PE
# header asks for no newer Windows, and every DLL function it imports, or
# looks up in HID.DLL, SETUPAPI.DLL or SHELL32.DLL at run time, is on the
# list of functions checked against that Windows. Wine offers newer
# functions too, so no test under Wine would notice one.
# Usage: check_loads.sh PROGRAM ARCH MAX_VERSION LIST
#   ARCH is x86 or x64, MAX_VERSION the oldest Windows as major.minor (5.0).
program=$1
arch=$2
max=$3
list=$4
failed=0

header=$(x86_64-w64-mingw32-objdump -p "$program") || exit 1

# version NAME: the major.minor the header asks for, as NAME (OSystem or
# Subsystem).
version() {
    echo "$header" | awk -v field="$1" '
        $1 == "Major" field "Version" { major = $2 }
        $1 == "Minor" field "Version" { minor = $2 }
        END { print major "." minor }'
}
# Numbers, so that 5.10 would count as newer than 5.2.
as_number() {
    echo "$1" | awk -F. '{ print $1 * 1000 + $2 }'
}
for field in OSystem Subsystem; do
    asked=$(version "$field")
    if [ "$(as_number "$asked")" -gt "$(as_number "$max")" ]; then
        echo "FAIL $program: its header asks for $field version $asked, newer than $max"
        failed=1
    fi
done

# "dll function" for each import, and for each entry point of HID.DLL,
# SETUPAPI.DLL or SHELL32.DLL named in the program, which GetProcAddress
# looks up by these names.
used=$(
    {
        echo "$header" | awk '
            /^\tDLL Name: / { dll = tolower($3); next }
            dll != "" && /^\t[0-9a-f]+\t/ { print dll, $NF }'
        strings -a "$program" | grep -E '^HidD_[A-Za-z]+$' | sed 's/^/hid.dll /'
        strings -a "$program" | grep -E '^SetupDi[A-Za-z]+$' | sed 's/^/setupapi.dll /'
        strings -a "$program" | grep -E '^SH[A-Za-z]+$' | sed 's/^/shell32.dll /'
    } | sort -u
)
# The list's entries for this architecture: "dll function [x86|x64]", an
# entry without one serving both; "#" starts a comment.
allowed=$(sed 's/#.*//' "$list" | awk -v arch="$arch" '
    NF == 2 || (NF == 3 && $3 == arch) { print tolower($1), $2 }' | sort -u)

if [ -n "$allowed" ]; then
    missing=$(echo "$used" | grep -Fxv -e "$allowed")
else
    missing=$used
fi
if [ -n "$missing" ]; then
    echo "$missing" | while read -r dll function; do
        echo "FAIL $program ($arch) uses $dll $function, which $list does not list"
    done
    failed=1
fi

if [ "$failed" -eq 0 ]; then
    echo "ok   $program ($arch): asks for Windows $(version OSystem) (subsystem $(version Subsystem)), uses $(echo "$used" | wc -l) listed functions"
fi
exit "$failed"

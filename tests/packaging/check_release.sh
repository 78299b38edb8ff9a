#!/bin/sh
# Guards the release: installed files, the Debian package and the man page
# (what the udev rule opens up, udevd itself shows in e2e_vm).
# Usage: check_release.sh BUILD_DIR SOURCE_DIR
build=$1
source=$2
here=$(dirname "$0")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0
failed=0

report() {  # NAME STATUS
    if [ "$2" -eq 0 ]; then
        echo "ok   $1"
        passed=$((passed + 1))
    else
        echo "FAIL $1"
        failed=$((failed + 1))
    fi
}

DESTDIR="$work/root" cmake --install "$build" --prefix /usr >/dev/null
(cd "$work/root" && find . -type f | sed 's|^\./||' | sort) >"$work/installed"
diff -u "$here/installed-files.txt" "$work/installed"
report "install into DESTDIR puts the expected files" $?

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/deb" >/dev/null)
deb=$(ls "$work"/deb/frostgauge_*.deb 2>/dev/null | head -n 1)
if [ -n "$deb" ]; then
    dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }' | sort >"$work/packaged"
    diff -u "$here/installed-files.txt" "$work/packaged"
    report "the Debian package holds the expected files" $?
    # The cross packages cannot compute theirs: they state this one's.
    depends=$(dpkg-deb -f "$deb" Depends)
    [ "$depends" = "$(cat "$source/packaging/depends")" ]
    report "the Debian package depends on what packaging/depends states ($depends)" $?
    dpkg-deb -x "$deb" "$work/unpacked"
    "$here/check_libs.sh" "$work/unpacked/usr/bin/frostgauge" "$source/packaging/depends"
    report "the packaged program needs only the C library" $?
    lintian --fail-on error,warning "$deb" >"$work/lintian" 2>&1
    status=$?
    grep -v "running with root privileges" "$work/lintian"
    report "lintian finds nothing" $status
else
    report "cpack builds the Debian package" 1
fi

warnings=$(groff -man -ww -z "$source/doc/frostgauge.1" 2>&1)
[ -z "$warnings" ] || echo "$warnings"
report "the man page renders without warnings" "$([ -z "$warnings" ]; echo $?)"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]

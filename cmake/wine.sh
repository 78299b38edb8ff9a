#!/bin/sh
# Runs a Windows program under Wine: ctest's emulator for the cross builds.
# Debian's wine64 package puts no `wine` on the PATH, only its loader.
export WINEDEBUG="${WINEDEBUG:--all}"
if command -v wine >/dev/null 2>&1; then
    exec wine "$@"
fi
exec /usr/lib/wine/wine64 "$@"

#!/bin/busybox sh
# What the guest program asks of Wine in the test machine, for the rows
# whose user is "wine":
#     guest-wine.sh start | tests | offer COUNT | run PROGRAM ARGUMENTS...
# frostgauge.exe runs under the host's Wine, chrooted into the host's root
# (9p, read-only), with one writable share (/mnt there: the prefix and the
# .exe files); 32-bit Wine comes as a third share laid over the host's root.
# Without udevd, Wine's bus driver watches /dev with inotify and takes a
# devtmpfs node's creation and attribute change for "gone, and back": so
# Wine gets a /dev of its own, where each node is made under another name
# and renamed into place. Its server runs persistently: its device services
# start once a boot (about 20 s under TCG), and no run is timed with them.

HOST=/host
WINE_ENV="WINEPREFIX=/mnt/prefix WINEDEBUG=-all HOME=/tmp"
# HID interfaces that Windows programs may list are "linked" here.
HID_INTERFACES='HKLM\System\CurrentControlSet\Control\DeviceClasses\{4d1e55b2-f16f-11cf-88cb-001111000030}'

mount_host() {
    options=trans=virtio,version=9p2000.L,msize=262144
    mkdir -p "$HOST" /hostroot /share
    # Nothing on the host changes these files while the guest runs, and only
    # the guest writes to the share, whose registry is made afresh for each
    # boot: let it cache both. Uncached, every Wine process took twice as long.
    mount -t 9p -o "$options,ro,cache=loose" hostroot /hostroot || return 1
    mount -t 9p -o "$options,cache=loose" share /share || return 1
    if [ -f /e2e/wine32 ]; then
        mkdir /wine32
        mount -t 9p -o "$options,ro,cache=loose" wine32 /wine32 || return 1
        mount -t overlay -o lowerdir=/wine32:/hostroot overlay "$HOST" || return 1
    else
        mount --bind /hostroot "$HOST"
    fi
    mount --bind /share "$HOST/mnt"
    mount -t tmpfs none "$HOST/tmp"
    mount -t tmpfs none "$HOST/run"
    mount --bind /proc "$HOST/proc"
    mount --bind /sys "$HOST/sys"
    mount -t tmpfs -o mode=755 none "$HOST/dev"
    cp -a /dev/null /dev/zero /dev/full /dev/random /dev/urandom /dev/tty "$HOST/dev/"
    mkdir "$HOST/dev/shm" "$HOST/dev/pts"
}

# The 32-bit program goes straight to 32-bit Wine: wine64 would first start
# itself to find that out, which doubled the time of a 32-bit run here.
loader_of() {  # program
    case $1 in *32.exe) echo /usr/lib/wine/wine ;; *) echo /usr/lib/wine/wine64 ;; esac
}

# A command in Wine's root and environment.
host() {  # command...
    # shellcheck disable=SC2086
    chroot "$HOST" env $WINE_ENV "$@"
}

in_wine() {  # program arguments...
    host "$(loader_of "$1")" "$@"
}

report() {
    echo "e2e: $*"
}

verdict() {  # name problem [file]
    if [ -z "$2" ]; then
        report "ok   $1"
        return
    fi
    report "FAIL $1: $2"
    sed 's/^/e2e:     /' "$3"
    return 1
}

# A persistent server keeps Wine's services up between runs; the throw-away
# run starts them (about 20 s under TCG).
start_server() {
    host /usr/lib/wine/wineserver -p || return 1
    in_wine /mnt/frostgauge.exe -h >/dev/null 2>&1 || true
}

stop_server() {
    host /usr/lib/wine/wineserver -k
    host /usr/lib/wine/wineserver -w
}

# The host makes the prefix's 64-bit half, and the 32-bit one where its
# kernel runs 32-bit code; where not, it is made here, once per build
# folder, by wineboot's Wow64 step run straight by 32-bit Wine, in
# the mode that loads Wine's DLLs before the prefix holds them: about 90 s
# (wineboot -u took longer and did not reach that step). A 32-bit program
# that runs proves the half is there; its folder could exist and be empty.
have_32bit_half() {
    in_wine /mnt/frostgauge32.exe -h >/dev/null 2>&1
}

make_32bit_half() {
    report "making the Wine prefix's 32-bit half (once per build folder)"
    stop_server
    host WINEBOOTSTRAPMODE=1 /usr/lib/wine/wine \
        /usr/lib/i386-linux-gnu/wine/i386-windows/rundll32.exe \
        setupapi,InstallHinfSection Wow64Install 128 '\\?\unix/usr/share/wine/wine.inf' >/dev/null 2>&1
    host /usr/lib/wine/wineserver -w  # writes the registry
    # Later boots start from this registry.
    cp "$HOST"/mnt/prefix/*.reg "$HOST/mnt/pristine/"
    sync
    start_server
}

start_wine() {
    mount_host || { report "FAIL cannot mount the host over 9p"; return 1; }
    start_server || { report "FAIL cannot start Wine's server"; return 1; }
    # This also loads 32-bit Wine once, before any row is timed.
    [ -f "$HOST/mnt/frostgauge32.exe" ] || return 0
    have_32bit_half && return 0
    make_32bit_half && have_32bit_half && return 0
    report "FAIL the 32-bit program does not run under Wine here: $(in_wine /mnt/frostgauge32.exe -h 2>&1 | tail -n 1)"
    return 1
}

linked_thermometer_interfaces() {
    in_wine reg query "$HID_INTERFACES" /s 2>/dev/null | tr -d '\r' |
        awk '/^HKEY/ { key = tolower($0) } /Linked .*0x1$/ && key ~ /vid_0c45/ { n++ }
             END { print n + 0 }'
}

# Looks up to 8 times (each look costs a Wine process, seconds here) until
# Wine lists this many 0C45 interfaces.
wine_lists() {  # count
    looks=8
    until [ "$(linked_thermometer_interfaces)" -eq "$1" ]; do
        looks=$((looks - 1))
        [ "$looks" -gt 0 ] || return 1
    done
}

expose_nodes() {
    for node in /dev/hidraw*; do
        [ -e "$node" ] || continue
        hidraw=${node#/dev/}
        numbers=$(cat "/sys/class/hidraw/$hidraw/dev")
        mknod "$HOST/dev/.$hidraw" c "${numbers%:*}" "${numbers#*:}"
        mv "$HOST/dev/.$hidraw" "$HOST/dev/$hidraw"
    done
}

offer_devices() {  # count
    expose_nodes
    if ! wine_lists "$1"; then
        # Devices present when Wine starts are always listed.
        rm -f "$HOST"/dev/hidraw*
        report "restarting Wine: it did not list the devices plugged"
        stop_server
        start_server
        expose_nodes
        wine_lists "$1" || return 1
    fi
}

# The 32-bit program's unit tests and program checks, which the host runs
# for the 64-bit one: here, before any device is plugged, as the host has
# none. Every test listed must have run.
run_windows_tests() {
    [ -f /e2e/tests32 ] || return 0
    result=0
    tests=$(sed -n 's/^tests=//p' /e2e/tests32)
    source=$(sed -n 's/^source=//p' /e2e/tests32)
    # Where the host keeps them, which Wine's own /tmp and /run may hide.
    for dir in "$source" "${tests%/*}"; do
        mkdir -p "$HOST$dir" && mount --bind "/hostroot$dir" "$HOST$dir"
    done
    listed=$(host /usr/lib/wine/wine "$tests" --gtest_list_tests 2>/dev/null | grep -c '^  ')
    host /usr/lib/wine/wine "$tests" >/tmp/tests32.out 2>&1
    status=$?
    ran=$(sed -n 's/^\[==========\] \([0-9]*\) tests\{0,1\} from .* ran\..*/\1/p' /tmp/tests32.out)
    if [ "$status" -eq 0 ] && [ "$listed" -gt 0 ] && [ "$ran" = "$listed" ]; then
        verdict "x86 unit tests, $ran of $listed" ""
    else
        verdict "x86 unit tests" "status $status, ${ran:-none} of $listed ran" /tmp/tests32.out || result=1
    fi
    if host sh "$source/tests/windows/program_runs.sh" /usr/lib/wine/wine \
        /mnt/frostgauge32.exe "$source/tests/cli/help.golden" "${tests%/*}/hid.dll" >/tmp/checks32.out 2>&1; then
        verdict "x86 program checks, $(tail -n 1 /tmp/checks32.out)" ""
    else
        verdict "x86 program checks" "$(tail -n 1 /tmp/checks32.out)" /tmp/checks32.out || result=1
    fi
    return $result
}

case $1 in
start) start_wine ;;
tests) run_windows_tests ;;
offer) offer_devices "$2" ;;
run)  # a row's run: exec keeps the process the guest program watches and kills
    shift
    # shellcheck disable=SC2086
    exec chroot "$HOST" env $WINE_ENV WINEDEBUG=err+all "$(loader_of "$1")" "$@" ;;
*) echo "usage: guest-wine.sh start | tests | offer COUNT | run PROGRAM ARGUMENTS..." >&2; exit 2 ;;
esac

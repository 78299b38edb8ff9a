#!/bin/busybox sh
# /init of the test machine: brings up a USB bus with gadget support, then
# plays every scenario of /e2e/scenarios.txt against fresh USB devices (or,
# with frostgauge=demo on the kernel command line, the README's two commands;
# with frostgauge=bench, the time of whole runs; with frostgauge=soak or
# soak-wine, a long run of runs at once, some of them killed)
# and reports on the serial console. Lines for the host begin with "e2e: ".

/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc none /proc
mount -t sysfs none /sys
mount -t devtmpfs none /dev
mount -t tmpfs none /tmp
mount -t tmpfs none /run
# Where runs mark their read-outs: every user may make files there, and
# only their owner may remove them, as on every Linux. /run/lock is there
# as on Debian, for the rows that take it away.
mkdir -p /dev/shm /run/lock
mount -t tmpfs -o mode=1777 none /dev/shm
chmod 1777 /run/lock
MARKS=/dev/shm
for module in /modules/*.ko; do
    case $module in
    *dummy_hcd*) insmod "$module" num=3 ;;  # one UDC per device of a scenario
    *) insmod "$module" ;;
    esac
done
mount -t configfs none /sys/kernel/config
dmesg -n 1  # keep kernel messages off the report

GADGETS=/sys/kernel/config/usb_gadget
# A boot keyboard, as the thermometer's interface 0 declares itself.
KEYBOARD='\x05\x01\x09\x06\xa1\x01\x05\x07\x19\xe0\x29\xe7\x15\x00\x25\x01\x75\x01\x95\x08\x81\x02\x95\x01\x75\x08\x81\x03\x95\x05\x75\x01\x05\x08\x19\x01\x29\x05\x91\x02\x95\x01\x75\x03\x91\x03\x95\x06\x75\x08\x15\x00\x25\x65\x05\x07\x19\x00\x29\x65\x81\x00\xc0'
# The data interface's own descriptor is not public; any 8-byte input and
# output report carries the protocol.
DATA='\x06\x00\xff\x09\x01\xa1\x01\x15\x00\x26\xff\x00\x75\x08\x95\x08\x09\x01\x81\x02\x09\x01\x91\x02\xc0'

pids=
hidraw_wanted=0
passed=0
failed=0

report() {
    echo "e2e: $*"
}

# Reports a row that took since $began (centiseconds of uptime) and counts
# it: passed without a problem, else failed, with the file that says why.
verdict() {  # name problem [file]
    took=$(($(uptime_cs) - began))
    took="$((took / 100)).$((took / 10 % 10)) s"
    if [ -z "$2" ]; then
        report "ok   $1 ($took)"
        passed=$((passed + 1))
        return
    fi
    report "FAIL $1 ($took): $2"
    [ -z "${3:-}" ] || sed 's/^/e2e:     /' "$3"
    failed=$((failed + 1))
}

# Polls a condition for up to 10 s: enumeration takes a variable while.
wait_for() {
    tries=500
    until "$@"; do
        tries=$((tries - 1))
        [ "$tries" -gt 0 ] || return 1
        usleep 20000
    done
}

count_matches() {  # glob pattern
    pattern=$1
    # shellcheck disable=SC2086
    set -- $pattern
    [ "$1" != "$pattern" ] || set --  # no match leaves the pattern itself
    count=$#
}

# frostgauge lists sysfs and opens /dev; a node comes to /dev after its sysfs
# entry and leaves it first, so both must agree. A node that vanishes after
# the glob still counts, which only makes the wait longer.
hidraw_count_is_wanted() {
    count_matches "/sys/class/hidraw/hidraw*" && [ "$count" -eq "$hidraw_wanted" ] &&
        count_matches "/dev/hidraw*" && [ "$count" -eq "$hidraw_wanted" ] &&
        udev_has_handled_nodes
}

# udevd records a node once it has applied the rules to it, owner and mode
# included, and forgets it once it has left.
udev_has_handled_nodes() {
    [ -n "$hidraw_major" ] || return 0
    count_matches "/run/udev/data/c$hidraw_major:*" && [ "$count" -eq "$hidraw_wanted" ]
}

# Debian's systemd-udevd applies the packaged rule (on the amd64 machine,
# which carries it): the hidraw nodes' owner and mode are then its doing.
hidraw_major=
start_udev() {
    [ -x /lib/systemd/systemd-udevd ] || return 0
    /lib/systemd/systemd-udevd --daemon >/run/udevd.log 2>&1  # its greeting stays off the report
    udevadm trigger --action=add
    udevadm settle
    hidraw_major=$(sed -n 's/^ *\([0-9]*\) hidraw$/\1/p' /proc/devices)
}

holds_open() {  # pid path
    for fd in "/proc/$1/fd"/*; do
        [ "$(readlink "$fd")" = "$2" ] && return 0
    done
    return 1
}

# Strips the blanks that align the table's columns from the named variable.
trim() {
    eval "value=\$$1"
    value=${value#"${value%%[! ]*}"}
    value=${value%"${value##*[! ]}"}
    eval "$1=\$value"
}

add_hid_function() {  # gadget name subclass protocol descriptor
    function=$1/functions/hid.$2
    mkdir "$function"
    echo "$3" >"$function/subclass"
    echo "$4" >"$function/protocol"
    echo 8 >"$function/report_length"
    echo 1 >"$function/no_out_endpoint"  # output reports come as SET_REPORT requests
    printf '%b' "$5" >"$function/report_desc"
    ln -s "$function" "$1/configs/c.1/"
}

add_gadget() {  # gadget product bcdDevice
    mkdir "$1"
    echo 0x0c45 >"$1/idVendor"
    echo "$2" >"$1/idProduct"
    echo "$3" >"$1/bcdDevice"
    mkdir "$1/configs/c.1"
}

hidg_of() {  # gadget function
    echo "/dev/$(sed -n 's/^DEVNAME=//p' "/sys/dev/char/$(cat "$1/functions/hid.$2/dev")/uevent")"
}

start_emulator() {  # gadget settings...
    echo "$*" >>/tmp/emulated  # for restart_emulators
    gadget=$1
    shift
    node=$(hidg_of "$gadget" data)
    # The emulator also tells when anything is written to the keyboard.
    set -- "$node" --keyboard "$(hidg_of "$gadget" keyboard)" "$@"
    for setting in "$@"; do
        shift
        case $setting in
        t=*) set -- "$@" --celsius "${setting#t=}" ;;
        c=*) set -- "$@" --calibration "${setting#c=}" ;;
        id=*) set -- "$@" --id "${setting#id=}" ;;
        stop=*) set -- "$@" --stop-after "${setting#stop=}" ;;
        unplug=*) set -- "$@" --unplug-after "${setting#unplug=}" "$gadget/UDC" ;;
        delay=*) set -- "$@" --delay "${setting#delay=}" ;;
        stale=*) set -- "$@" --stale "${setting#stale=}" ;;
        kill=*)
            kill_at=${setting#kill=}
            set -- "$@" --kill-at "$kill_at" /tmp/kill.request
            ;;
        late=*)
            kill_late=${setting#late=}
            set -- "$@" --late "$kill_late"
            ;;
        limit=*) caller_limit=${setting#limit=} ;;
        mark=*) left_mark=${setting#mark=} ;;
        lockdir=*) lock_dir=${setting#lockdir=} ;;
        *) set -- "$@" "$setting" ;;
        esac
    done
    thermometer_emulator "$@" 2>>/tmp/emulator.log &
    pids="$pids $!"
    case " $* " in *" --stale "*) stale_emulator=$! ;; esac
    case " $* " in *" --kill-at "*) kill_emulator=$! ;; esac
    wait_for holds_open $! "$node"
}

# Plugs device number $1 into its own UDC and waits until the host has its
# hidraw nodes, so that the bus lists the devices in table order.
add_device() {  # index kind settings...
    gadget=$GADGETS/g$1
    udc=dummy_udc.$1
    kind=$2
    shift 2
    case $kind in
    T)
        add_gadget "$gadget" 0x7401 0x0001
        add_hid_function "$gadget" keyboard 1 1 "$KEYBOARD"
        add_hid_function "$gadget" data 1 2 "$DATA"
        hidraw_wanted=$((hidraw_wanted + 2))
        ;;
    O)
        product=7402
        case ${1:-} in product=*) product=${1#product=} ;; esac
        add_gadget "$gadget" "0x$product" 0x0110
        add_hid_function "$gadget" data 0 0 "$DATA"
        hidraw_wanted=$((hidraw_wanted + 1))
        ;;
    -) return 0 ;;
    *) echo "unknown device $kind" >>/tmp/emulator.log; return 1 ;;
    esac
    echo "$udc" >"$gadget/UDC"
    wait_for hidraw_count_is_wanted || return 1
    [ "$kind" = T ] || return 0
    start_emulator "$gadget" "$@"
}

add_devices() {  # devices column
    index=0
    saved_ifs=$IFS
    IFS=+
    for device in $1; do
        IFS=$saved_ifs
        # shellcheck disable=SC2086
        add_device "$index" $device || return 1
        index=$((index + 1))
    done
    IFS=$saved_ifs
}

stop_emulators() {
    for pid in $pids; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    pids=
}

# The thermometers forget what they were asked: they answer the next program
# as new, on the same bus.
restart_emulators() {
    stop_emulators
    mv /tmp/emulated /tmp/emulated.before
    while read -r gadget settings; do
        # shellcheck disable=SC2086
        start_emulator "$gadget" $settings
    done </tmp/emulated.before
}

remove_devices() {
    stop_emulators
    rm -f /tmp/emulated
    for gadget in "$GADGETS"/*; do
        [ -d "$gadget" ] || continue
        echo >"$gadget/UDC" 2>/dev/null  # may be unplugged already
        rm -f "$gadget"/configs/c.1/hid.*
        rmdir "$gadget"/configs/c.1 "$gadget"/functions/hid.* "$gadget"
    done
    hidraw_wanted=0
    wait_for hidraw_count_is_wanted
}

uptime_cs() {
    read -r seconds _ </proc/uptime
    echo "${seconds%.*}${seconds#*.}"
}

# Starts one run of frostgauge in the background, its output into $2 (or
# /tmp/out.N, when $2 is empty), its process id into /tmp/pid.N and its
# status into /tmp/status.N. A run that does not end by itself is cut off
# after 20 s and fails on its status (143); under a caller's limit it is
# killed after that many seconds (137), as `timeout -s KILL 5` does.
# busybox's timeout becomes the program it runs, so its process id is the
# program's.
start_run() {  # N target user tz arguments...
    out=${2:-/tmp/out.$1}
    number=$1 user=$3 zone=$4
    shift 4
    : >"/tmp/out.$number"
    limit=${run_limit:-20}
    [ -z "$caller_limit" ] || limit="-s KILL $caller_limit"
    # shellcheck disable=SC2086
    case $user in
    root) TZ=$zone timeout $limit frostgauge "$@" </dev/null >"$out" & ;;
    valgrind)
        # The dynamically linked program, as root, under memcheck: any error
        # or leak ends it with status 99. Emulated, memcheck is slow.
        TZ=$zone timeout 180 valgrind -q --leak-check=full --errors-for-leak-kinds=all \
            --error-exitcode=99 frostgauge-dynamic "$@" </dev/null >"$out" &
        ;;
    wine*) EXEC_EXE=exec run_exe "$zone" "$@" </dev/null >"$out" 2>"/tmp/wine.$number" & ;;
    *)
        # su would take the arguments as its own options; the table's are plain words.
        TZ=$zone timeout $limit su -p -s /bin/sh "$user" -c "exec frostgauge $*" </dev/null >"$out" &
        ;;
    esac
    echo $! >"/tmp/pid.$number"
    wait $!
    echo $? >"/tmp/status.$number"
}

# The host node of the thermometer's data interface (interface 01).
data_node() {
    for dir in /sys/class/hidraw/hidraw*; do
        if [ "$(cat "$dir/device/../bInterfaceNumber" 2>/dev/null)" = 01 ]; then
            echo "/dev/${dir##*/}"
            return
        fi
    done
}

opened_by_other() {  # path pid: a process other than pid has path open
    for fd in /proc/[0-9]*/fd/*; do
        [ "$(readlink "$fd" 2>/dev/null)" = "$1" ] || continue
        owner=${fd#/proc/}
        [ "${owner%%/*}" = "$2" ] || return 0
    done
    return 1
}

# A report that waits before the first command reaches a run only once it
# has the node open (usbhid drops what comes in the first 50 ms after the
# first open), so another holder keeps the thermometer while the emulator
# sends it, as a killed run's late answer would come.
hold_for_stale_report() {
    node=$(data_node)
    thermometer_emulator --hold "$node" 2>>/tmp/emulator.log &
    holder=$!
    wait_for holds_open "$holder" "$node"
}

send_stale_report() {
    wait_for opened_by_other "$node" "$holder"
    kill -USR1 "$stale_emulator"
    usleep 300000
    kill "$holder"
    wait "$holder" 2>/dev/null
}

# The runs start at once; under a caller's limit one after another, as a
# script or a poller starts them, the first a second after a killed run.
start_runs() {  # first last target runner tz arguments...
    number=$1 last=$2
    shift 2
    if [ -n "$caller_limit" ]; then
        (
            [ "$number" -eq 1 ] || sleep 1
            while [ "$number" -le "$last" ]; do
                start_run "$number" "$@"
                number=$((number + 1))
            done
        ) &
        runs="$runs $!"
        return
    fi
    while [ "$number" -le "$last" ]; do
        start_run "$number" "$@" &
        runs="$runs $!"
        number=$((number + 1))
    done
}

held_answer() {  # command
    wait_for grep -qsx "$1" /tmp/kill.request || problem="the thermometer did not hold command $1"
    rm -f /tmp/kill.request
}

# A Linux run that waits has the node open. A Windows run shows nothing
# outside Wine: it is given the time that one takes to start here.
others_wait() {  # runner first-pid
    case $1 in
    wine*) sleep 3 ;;
    *) wait_for opened_by_other "$(data_node)" "$2" && usleep 200000 ;;
    esac
}

# A killed run holds nothing once it has exited; its parent reaps it later.
has_exited() {  # pid
    state=$(cut -d ' ' -f 3 "/proc/$1/stat" 2>/dev/null)
    [ "${state:-Z}" = Z ]
}

# kill=N: the first run starts alone. When its first command reaches the
# thermometer, which holds back its answer, the others start and wait for
# it; when its command N does, it is killed, and the thermometer answers
# that command after its delay, as a killed run's answer comes late. With
# late=MS the others start only once it is dead, as a script's next run
# does, and that answer comes MS after the command reached the thermometer,
# or once a Linux run has the thermometer open, if later.
# Only the others' output and status count.
kill_during_read_out() {  # count target runner tz arguments...
    count=$1
    shift
    start_runs 1 1 "$@"
    held_answer 1
    if [ -n "$kill_late" ]; then
        if [ "$kill_at" -gt 1 ]; then
            kill -USR2 "$kill_emulator"
            held_answer "$kill_at"
        fi
        kill -KILL "$(cat /tmp/pid.1)"
        wait_for has_exited "$(cat /tmp/pid.1)"
        start_runs 2 "$count" "$@"
        # Before a next run has the node open, the kernel would drop the
        # answer for it (what comes in the first 50 ms after a first open).
        case $2 in wine*) ;; *) others_wait "$2" "$(cat /tmp/pid.1)" ;; esac
        kill -USR2 "$kill_emulator"
        return
    fi
    start_runs 2 "$count" "$@"
    others_wait "$2" "$(cat /tmp/pid.1)"
    if [ "$kill_at" -gt 1 ]; then
        kill -USR2 "$kill_emulator"
        held_answer "$kill_at"
    fi
    kill -KILL "$(cat /tmp/pid.1)"
    kill -USR2 "$kill_emulator"
}

# Runs the row's runs all at once ("root*3": three), each into /tmp/out.N
# and /tmp/status.N (or its output into TARGET). Their time stamps become <NOW>.
run_programs() {  # user tz target arguments...
    runner=${1%"*"*}
    count=1
    [ "$runner" = "$1" ] || count=${1#*"*"}
    zone=$2 target=$3
    shift 3
    start=$(date +%s)
    [ -z "$stale_emulator" ] || hold_for_stale_report
    runs=
    if [ -n "$kill_emulator" ]; then
        kill_during_read_out "$count" "$target" "$runner" "$zone" "$@"
    else
        start_runs 1 "$count" "$target" "$runner" "$zone" "$@"
    fi
    [ -z "$stale_emulator" ] || send_stale_report
    for run in $runs; do
        wait "$run"  # never a bare wait: this shell adopts Wine's daemons
    done
    [ -z "$kill_emulator" ] || rm -f /tmp/out.1 /tmp/status.1
    ran="$(date -d "@$start" +%T) to $(date +%T)"
    # A handle's number is Wine's choice, not the program's.
    if grep -q '<HANDLE>' /tmp/want; then
        for out in /tmp/out.*; do
            sed 's/^USB Port #[0-9][0-9]*/USB Port #<HANDLE>/' "$out" >/tmp/stamped
            cat /tmp/stamped >"$out"
        done
    fi
    # An output without the time has no stamps to put back; each second
    # tried costs processes, which an emulated ARM starts slowly.
    grep -q '<NOW>' /tmp/want || return 0
    instant=$start
    while [ "$instant" -le "$(date +%s)" ]; do
        for out in /tmp/out.*; do
            # Not sed -i: armhf's busybox skips a file it cannot stat (made past 2038).
            sed "s/$(TZ=$zone date -d "@$instant" +%Y-%m-%dT%H:%M:%S)/<NOW>/g" "$out" >/tmp/stamped
            cat /tmp/stamped >"$out"
        done
        instant=$((instant + 1))
    done
}

# The table writes what the program prints; Windows's text mode turns each
# "\n" it prints into "\r\n" (a Windows error text brings its own "\r\n").
expect_output() {  # user
    if [ "${output#@}" != "$output" ]; then
        cp "/e2e/expected/${output#@}" /tmp/want
    else
        printf '%b' "$output" >/tmp/want
    fi
    case $1 in
    wine*)
        # sed ends an unterminated last line too: cut what it adds there.
        size=$(($(wc -c </tmp/want) + $(wc -l </tmp/want)))
        sed 's/$/\r/' /tmp/want | head -c "$size" >/tmp/want.crlf
        mv /tmp/want.crlf /tmp/want
        ;;
    esac
}

# Sets problem when any run's status or output differs from the row's.
check_runs() {
    count_matches "/tmp/status.*"
    for status_file in /tmp/status.*; do
        number=${status_file#/tmp/status.}
        which=
        [ "$count" -eq 1 ] || which="run $number: "
        status=$(cat "$status_file")
        if [ "$status" != "$expected_status" ]; then
            problem="${which}status $status, expected $expected_status"
        elif ! cmp -s /tmp/want "/tmp/out.$number"; then
            problem="${which}output differs"
        else
            continue
        fi
        failed_run=$number
        return
    done
    if grep -q 'keyboard interface' /tmp/emulator.log; then
        problem="the program wrote to the keyboard interface"
    fi
    # Only a transfer that failed leaves an answer owed, and a mark; a mark
    # left after whole answers would cost the next run its wait. Another
    # account's mark is not the runs' to remove.
    ! grep -qE 'ERR (Read|Write)File' /tmp/want || return
    [ -z "$left_mark" ] || [ "${user%"*"*}" = root ] || return
    count_matches "$MARKS/frostgauge-*"
    [ "$count" -eq 0 ] || problem="a run left the mark of its read-out"
}

# mark=OWNER,AGE: a file that OWNER made AGE seconds ago lies where the
# thermometer's mark does. lockdir=root-only or missing: /run/lock as some
# systems have it.
prepare_marks() {
    case $lock_dir in
    root-only) chmod 755 /run/lock ;;
    missing) rmdir /run/lock ;;
    esac
    [ -n "$left_mark" ] || return 0
    mark=$MARKS/frostgauge-$(basename "$(data_node)")
    touch -d "@$(($(date +%s) - ${left_mark#*,}))" "$mark"
    chown "${left_mark%,*}" "$mark"
}

# The programs a row runs: the one Linux program, or the Windows programs
# its user names.
programs_of() {  # user
    case ${1%"*"*} in
    wine) echo x64 x86 ;;
    wine64) echo x64 ;;
    wine32) echo x86 ;;
    *) echo linux ;;
    esac
}

# The devices a row needs on the bus: its devices column without the
# thermometers' settings, which are their emulators'.
bus_of() {  # devices
    echo "$1" | sed 's/T[^+]*/T /g; s/  */ /g; s/ *$//'
}

# Handing devices to Wine and taking them back costs seconds, so under Wine
# a row keeps the devices of the row before when they are the same and none
# has left the bus; only their emulators start afresh, with this row's
# settings. Elsewhere, and when they differ, the devices are plugged anew.
plug_devices() {
    if [ "$platform" = windows ] && [ -n "$plugged" ] &&
        [ "$(bus_of "$plugged")" = "$(bus_of "$devices")" ] &&
        [ "${plugged#*unplug=}" = "$plugged" ]; then
        stop_emulators
        rm -f /tmp/emulated
        index=0
        saved_ifs=$IFS
        IFS=+
        for device in $devices; do
            IFS=$saved_ifs
            # shellcheck disable=SC2086
            set -- $device
            kind=$1
            shift
            [ "$kind" != T ] || start_emulator "$GADGETS/g$index" "$@"
            index=$((index + 1))
        done
        IFS=$saved_ifs
        plugged=$devices
        return 0
    fi
    unplug_devices || return 1
    plugged=$devices
    add_devices "$devices" && offer_devices
}

unplug_devices() {
    [ -n "$plugged" ] || return 0
    plugged=
    withdraw_devices || { problem="Wine kept the devices"; return 1; }
    remove_devices || { problem="the devices did not go away"; return 1; }
}

# Each program after the first gets the row's devices as new: plugged anew
# where one leaves the bus, else the same ones with their emulators started
# again (handing devices to Wine costs seconds).
renew_devices() {
    case " $devices " in
    *" unplug="*) forget_devices && remove_devices && add_devices "$devices" && offer_devices ;;
    *) restart_emulators ;;
    esac
}

play_program() {  # program arguments...
    program=$1
    shift
    exe=/mnt/frostgauge.exe
    [ "$program" != x86 ] || exe=/mnt/frostgauge32.exe
    rm -f /tmp/out.* /tmp/status.* /tmp/pid.* /tmp/wine.* /tmp/kill.request "$MARKS"/frostgauge-*
    prepare_marks
    clock_before_runs
    run_programs "$user" "$zone" "$target" "$@"
    clock_after_runs
    mkdir -p /run/lock
    chmod 1777 /run/lock
    check_runs
    [ -z "$problem" ] || [ "$program" = linux ] || problem="$program: $problem"
}

run_scenario() {
    if [ "$user" = valgrind ] && ! command -v valgrind >/dev/null; then
        report "skip $name: this machine carries no memcheck (the sanitized run)"
        return
    fi
    : >/tmp/emulator.log
    stale_emulator=
    kill_emulator=
    kill_late=
    caller_limit=
    left_mark=
    lock_dir=
    expect_output "$user"
    began=$(uptime_cs)
    problem=
    ran=
    failed_run=1
    # Arguments ending in ">/dev/full" send the output there: nothing to see.
    target=
    case $arguments in *">/dev/full")
        target=/dev/full
        arguments=${arguments%">/dev/full"}
        ;;
    esac
    if plug_devices; then
        # The arguments are plain words: split them, but expand no pattern.
        set -f
        # shellcheck disable=SC2086
        set -- $arguments
        set +f
        renew=false
        for program in $(programs_of "$user"); do
            if $renew && ! renew_devices; then
                problem="the devices did not come up again for $program"
            fi
            [ -n "$problem" ] || play_program "$program" "$@"
            renew=true
        done
    else
        problem=${problem:-the devices did not come up}
    fi
    [ "$platform" = windows ] || unplug_devices
    if [ -z "$problem" ]; then
        verdict "$name" ""
        return
    fi
    {
        diff -u /tmp/want "/tmp/out.$failed_run"
        sed 's/^/emulator: /' /tmp/emulator.log
        [ ! -s "/tmp/wine.$failed_run" ] || sed 's/^/wine: /' "/tmp/wine.$failed_run"
    } >/tmp/why
    verdict "$name" "$problem (the runs: $ran)" /tmp/why
}

# The time of whole runs against emulators that answer at once: the floor
# is the 20 ms pause per thermometer plus its four answers on the bus.
time_runs() {
    runs=50
    for devices in "T" "T + T"; do
        add_devices "$devices" || return
        began=$(uptime_cs)
        count=0
        while [ "$count" -lt "$runs" ]; do
            frostgauge </dev/null >/dev/null
            count=$((count + 1))
        done
        took=$(($(uptime_cs) - began))
        report "bench: $devices: $((took * 10 / runs)).$((took * 100 / runs % 10)) ms a run ($runs runs)"
        remove_devices
    done
    time_waiting_runs
}

# One run's time in centiseconds (the clock's grain), the median of 11;
# $1 is a function that prints it.
median_of_11() {
    for _ in 1 2 3 4 5 6 7 8 9 10 11; do
        "$1"
    done | sort -n | sed -n 6p
}

time_one_run() {
    began=$(uptime_cs)
    frostgauge </dev/null >/dev/null
    echo $(($(uptime_cs) - began))
}

# Another run holds the thermometer for the first 300 ms of this one: the
# time counts from its release.
time_one_waiting_run() {
    thermometer_emulator --hold "$node" 2>>/tmp/emulator.log &
    holder=$!
    wait_for holds_open "$holder" "$node"
    frostgauge </dev/null >/dev/null &
    run=$!
    usleep 300000
    kill "$holder"
    wait "$holder" 2>/dev/null
    released=$(uptime_cs)
    wait "$run"
    echo $(($(uptime_cs) - released))
}

# What a run that had to wait for another pays on top.
time_waiting_runs() {
    add_devices "T" || return
    node=$(data_node)
    alone=$(median_of_11 time_one_run)
    waited=$(median_of_11 time_one_waiting_run)
    report "bench: T, a run that waited: ${waited}0 ms from the other's release, against ${alone}0 ms for one that did not (medians of 11, 10 ms grain)"
    remove_devices
}

random_below() {  # n
    echo $(($(od -An -N2 -tu2 /dev/urandom) % $1))
}

# Kills run $1 after a random while below $2 ms, unless it has ended.
kill_at_random() {  # number window
    usleep $(($(random_below "$2") * 1000))
    pid=$(cat "/tmp/pid.$1" 2>/dev/null)
    [ -n "$pid" ] && ! has_exited "$pid" && kill -KILL "$pid" 2>/dev/null && : >"/tmp/killed.$1"
}

# The runs of a soak: soak_runs=N on the kernel's command line, or $1.
soak_runs() {  # default
    runs=$(sed -n 's/.* soak_runs=\([0-9][0-9]*\).*/\1/p' /proc/cmdline)
    echo "${runs:-$1}"
}

soak_report() {
    report "soak: $program: $soaked runs, $killed killed; $failed failed, $wrong wrong readings, $hangs hangs ($(($(date +%s) - soak_began)) s)"
}

# Runs at once on one thermometer (5.125 degrees) whose answers come 0 to
# 400 ms late, 1 to 4 at once, about one in ten killed at a random moment
# of its life (below window ms), until runs have been started, for each
# program. A run not killed must read 5.125 and end with 0; one that has
# not ended after 90 s hangs.
soak() {  # runs window runner
    add_devices "T t=0520 delay=0-400" && offer_devices || { report "soak: FAIL no thermometer"; return; }
    run_limit=90
    for program in $(programs_of "$3"); do
        exe=/mnt/frostgauge.exe
        [ "$program" != x86 ] || exe=/mnt/frostgauge32.exe
        soaked=0 killed=0 failed=0 wrong=0 hangs=0 soak_began=$(date +%s)
        while [ "$soaked" -lt "$1" ]; do
            size=$(($(random_below 4) + 1))
            rm -f /tmp/out.* /tmp/status.* /tmp/pid.* /tmp/killed.*
            runs=
            start_runs 1 "$size" "" "$3" UTC0
            number=1
            while [ "$number" -le "$size" ]; do
                if [ "$(random_below 10)" -eq 0 ]; then
                    kill_at_random "$number" "$2" &
                    runs="$runs $!"
                fi
                number=$((number + 1))
            done
            for run in $runs; do
                wait "$run"
            done
            for status_file in /tmp/status.*; do
                number=${status_file#/tmp/status.}
                soaked=$((soaked + 1))
                status=$(cat "$status_file")
                if [ -e "/tmp/killed.$number" ]; then
                    killed=$((killed + 1))
                elif [ "$status" = 143 ]; then
                    hangs=$((hangs + 1))
                elif [ "$status" != 0 ]; then
                    failed=$((failed + 1))
                    report "soak: $program: run $soaked ended with $status: $(cat "/tmp/out.$number")"
                elif [ "$(cat "/tmp/out.$number")" != 5.125 ]; then
                    wrong=$((wrong + 1))
                    report "soak: $program: run $soaked read $(cat "/tmp/out.$number")"
                fi
                [ $((soaked % 50)) -ne 0 ] || soak_report
            done
        done
        [ $((soaked % 50)) -eq 0 ] || soak_report
        report "soak: $program: done"
    done
}

# The Windows rows hand the plugged devices to Wine and take them back
# (guest-wine.sh); the Linux rows need nothing of the kind.
offer_devices() { :; }
withdraw_devices() { :; }
forget_devices() { :; }

# This boot plays the rows of one platform: the other's run in a boot of their own.
# A machine whose line tags its rows (rows=arm) plays the rows whose name ends in "[arm]".
row_is_for_this_boot() {
    [ "$rows" = all ] || case $name in *" [$rows]") ;; *) return 1 ;; esac
    case $user in
    wine*) [ "$platform" = windows ] ;;
    *) [ "$platform" = linux ] ;;
    esac
}

# A fixed instant in summer, so that summer-time offsets are known, and
# past 2038-01-19, where a 32-bit time_t runs out. Wine must start after
# it: its clock does not follow a later jump.
set_clock() {
    date -u -s '2040-07-15 09:30:00' >/dev/null
}

# Debian 12's busybox for armhf counts time in 32 bits (its line's extra
# clock32 brings guest_date): it cannot set such a clock, and
# fails to stat or remove a file made while the clock was there ("Value too
# large for defined data type"). There guest_date, with a 64-bit time_t,
# stands in for its date, the clock reads 2040 only while the programs of a
# row that shows the time run, and the files made meanwhile are stamped
# again once it is set back.
clock_per_row=false
clock_before_runs() { :; }
clock_after_runs() { :; }
if [ -x /bin/guest_date ]; then
    clock_per_row=true
    date() { guest_date "$@"; }
    clock_before_runs() {
        clock_was=
        grep -q '<NOW>' /tmp/want || return 0
        clock_was=$(($(date +%s) - $(uptime_cs) / 100))
        set_clock
    }
    clock_after_runs() {
        [ -n "$clock_was" ] || return 0
        date -s "@$((clock_was + $(uptime_cs) / 100))" >/dev/null
        touch -c /tmp /tmp/*
    }
fi

run_scenarios() {
    plugged=
    scenarios_began=$(uptime_cs)
    while IFS='|' read -r name devices user zone arguments expected_status output; do
        trim name
        case $name in '#'* | '') continue ;; esac
        for column in devices user zone arguments expected_status output; do
            trim "$column"
        done
        row_is_for_this_boot || continue
        run_scenario </dev/null
    done </e2e/scenarios.txt
    # Wine's last devices stay: the machine powers off.
    [ "$platform" = windows ] || unplug_devices
    took=$(($(uptime_cs) - scenarios_began))
    report "scenarios took $((took / 100)).$((took / 10 % 10)) s"
    report "$passed passed, $failed failed"
}

show_demo() {  # name command...
    name=$1
    shift
    if ! add_devices "T c=81 t=1920" || ! offer_devices; then
        cat /tmp/emulator.log
        return
    fi
    echo "e2e-demo-begin"
    for arguments in -d -x; do
        echo "\$ $name $arguments"
        "$@" "$arguments" </dev/null >/tmp/out 2>/dev/null
        status=$?
        cat /tmp/out
        [ -z "$(tail -c 1 /tmp/out)" ] || echo
        echo "[exit status $status]"
    done
    echo "e2e-demo-end"
    # Not handed back to Wine, which may take a restart: the machine powers off.
    remove_devices
}

echo 'root:x:0:0::/root:/bin/sh' >/etc/passwd
echo 'user:x:1000:1000::/tmp:/bin/sh' >>/etc/passwd
echo 'reader:x:1001:1001::/tmp:/bin/sh' >>/etc/passwd
echo 'root:x:0:' >/etc/group
echo 'user:x:1000:' >>/etc/group
echo 'reader:x:1001:' >>/etc/group
echo 'plugdev:x:46:reader' >>/etc/group
echo  # ends the firmware's last line
platform=linux
rows=all
for word in $(cat /proc/cmdline); do
    case $word in rows=*) rows=${word#rows=} ;; esac
done
case " $(cat /proc/cmdline) " in
*" frostgauge=demo "*) show_demo frostgauge frostgauge ;;
*" frostgauge=bench "*) time_runs ;;
*" frostgauge=soak "*) soak "$(soak_runs 1000)" 1000 root ;;
*" frostgauge=soak-wine "*)
    platform=windows
    . /bin/guest-wine.sh
    start_wine && soak "$(soak_runs 100)" 5000 wine
    ;;
*" frostgauge=wine "*)
    platform=windows
    . /bin/guest-wine.sh
    set_clock
    start_wine && run_windows_tests && run_scenarios
    ;;
*" frostgauge=demo-windows "*)
    . /bin/guest-wine.sh
    start_wine && show_demo frostgauge.exe run_exe ""
    ;;
*)
    start_udev
    $clock_per_row || set_clock
    run_scenarios
    ;;
esac
poweroff -f

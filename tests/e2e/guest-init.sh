#!/bin/busybox sh
# /init of the test machine: brings up a USB bus with gadget support and
# hands over to the guest program, which plays the rows (or the mode the
# kernel command line names) and reports on the serial console.

/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc none /proc
mount -t sysfs none /sys
mount -t devtmpfs none /dev
mount -t tmpfs none /tmp
# Only root writes to /run, as on every Linux: root's runs mark their
# read-outs in a folder of their own there.
mount -t tmpfs -o mode=0755 none /run
# Where other accounts' runs mark theirs: every user may make files there,
# and only their owner may remove them. /run/lock is there as on Debian,
# for the rows that take it away.
mkdir -p /dev/shm /run/lock
mount -t tmpfs -o mode=1777 none /dev/shm
chmod 1777 /run/lock
for module in /modules/*.ko; do
    case $module in
    *dummy_hcd*) insmod "$module" num=2 ;;  # one UDC per device of a row
    *) insmod "$module" ;;
    esac
done
mount -t configfs none /sys/kernel/config
dmesg -n 1  # keep kernel messages off the report
# The rows' users; udevd gives the thermometer's node to plugdev by name.
printf '%s\n' root:x:0:0::/root:/bin/sh user:x:1000:1000::/tmp:/bin/sh reader:x:1001:1001::/tmp:/bin/sh \
    member:x:1002:1002::/tmp:/bin/sh seat:x:1003:1003::/tmp:/bin/sh >/etc/passwd
printf '%s\n' root:x:0: user:x:1000: reader:x:1001: member:x:1002: seat:x:1003: plugdev:x:46:reader,member >/etc/group
echo        # ends the firmware's last line
# Debian's systemd-udevd applies the packaged rule where the machine
# carries it: the hidraw nodes' owner and mode are then its doing.
if [ -x /lib/systemd/systemd-udevd ]; then
    /lib/systemd/systemd-udevd --daemon >/run/udevd.log 2>&1
    udevadm trigger --action=add
    udevadm settle
fi
guest
poweroff -f

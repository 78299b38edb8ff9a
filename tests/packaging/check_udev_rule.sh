#!/bin/sh
# Matches the udev rule against the attributes the kernel shows for the
# thermometer's hidraw node and for its neighbours, the way udev matches:
# SUBSYSTEM on the node, all ATTRS{} on one and the same parent.
# Usage: check_udev_rule.sh RULES_FILE
rule=$1
failed=0

if udevadm verify --help >/dev/null 2>&1; then
    udevadm verify "$rule" || failed=1
fi

# matches SUBSYSTEM PARENT_ATTRIBUTES: 0 when the rule's match keys all hold.
matches() {
    grep -v '^[[:space:]]*#' "$rule" | grep . | awk -v subsystem="$1" -v attrs="$2" '
    BEGIN { n = split(attrs, pairs, " "); for (i = 1; i <= n; i++) { split(pairs[i], kv, "="); parent[kv[1]] = kv[2] } }
    {
        ok = 1
        line = $0
        while (match(line, /[A-Za-z]+(\{[A-Za-z]+\})?=="[^"]*"/)) {
            token = substr(line, RSTART, RLENGTH)
            line = substr(line, RSTART + RLENGTH)
            key = token; sub(/==.*/, "", key)
            value = token; sub(/^[^"]*"/, "", value); sub(/"$/, "", value)
            if (key == "SUBSYSTEM") { if (value != subsystem) ok = 0 }
            else if (key ~ /^ATTRS\{/) { name = key; gsub(/^ATTRS\{|\}$/, "", name); if (parent[name] != value) ok = 0 }
            else { print "unexpected match key " key; ok = 0 }
        }
        if (ok) found = 1
    }
    END { exit found ? 0 : 1 }'
}

check() {  # EXPECTED(match|nomatch) NAME SUBSYSTEM PARENT_ATTRIBUTES
    if matches "$3" "$4"; then got=match; else got=nomatch; fi
    if [ "$got" != "$1" ]; then
        echo "udev rule: $2: $got, expected $1"
        failed=1
    fi
}

check match "the thermometer's node" hidraw "idVendor=0c45 idProduct=7401 bcdDevice=0001"
check nomatch "another product of the vendor" hidraw "idVendor=0c45 idProduct=7402 bcdDevice=0001"
check nomatch "another vendor" hidraw "idVendor=413d idProduct=7401 bcdDevice=0001"
check nomatch "the thermometer's USB device itself" usb "idVendor=0c45 idProduct=7401 bcdDevice=0001"

for assignment in 'TAG+="uaccess"' 'GROUP="plugdev"' 'MODE="0660"'; do
    grep -v '^[[:space:]]*#' "$rule" | grep -qF "$assignment" || {
        echo "udev rule: $assignment missing"
        failed=1
    }
done
# uaccess only takes effect when the tag is set before 73-seat-late.rules runs.
[ "$(printf '%s\n' "$(basename "$rule")" 73-seat-late.rules | sort | head -n 1)" = "$(basename "$rule")" ] || {
    echo "udev rule: $(basename "$rule") sorts after 73-seat-late.rules"
    failed=1
}
exit $failed

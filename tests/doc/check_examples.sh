#!/bin/sh
# Every example of the README and the man page (a "$ frostgauge ..." line in
# a code block, and the output after it up to the next "$ " line or the
# block's end) must be a row of tests/e2e/scenarios.txt with those arguments
# and that output, so that the texts show what the program prints.
# Usage: check_examples.sh SOURCE_DIR
source=${1:-.}
awk -v expected="$source/tests/e2e/expected/" '
function trim(s) { sub(/^[ \t]+/, "", s); sub(/[ \t]+$/, "", s); return s }
function unescape(s,   r, c) {  # the table writes \n, \r, \t and \\
    for (r = ""; s != ""; s = substr(s, 2)) {
        if ((c = substr(s, 1, 1)) == "\\" && index("nrt\\", substr(s, 2, 1)) > 0 && length(s) > 1)
            c = substr("\n\r\t\\", index("nrt\\", substr(s = substr(s, 2), 1, 1)), 1)
        r = r c
    }
    return r }
function done() {  # the example under way, if any, against the rows
    if (!open) return; open = 0; examples++
    gsub(/[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]T[0-9][0-9]:[0-9][0-9]:[0-9][0-9]/, "<NOW>", out)
    if (!((args SUBSEP out) in rows)) { failed++; printf "%s: no row prints this for \"frostgauge %s\":\n%s\n", from, args, out }
}
function example(line) {
    if (line ~ /^\$ /) { done(); open = line ~ /^\$ frostgauge( |$)/; from = FILENAME; args = substr(line, 13); gsub(/ +/, " ", args); args = trim(args); out = ""; lines = 0 }
    else if (open) out = out (lines++ ? "\n" : "") line
}
FNR == 1 { done(); fenced = inside = 0 }
FILENAME ~ /scenarios\.txt$/ && !/^#/ && split($0, col, "|") >= 7 {
    for (i = 8; i in col; i++) col[7] = col[7] "|" col[i]  # the output may hold a "|"
    text = trim(col[7]); args = trim(col[5]); gsub(/ +/, " ", args)
    if (text ~ /^@/) { file = expected substr(text, 2); for (text = ""; (getline line <file) > 0; ) text = text line "\n"; close(file) }
    else text = unescape(text)
    sub(/\n$/, "", text)  # a value with no line break after it shows as a line
    rows[args SUBSEP text]; next
}
FILENAME ~ /\.md$/ && /^```/ { done(); fenced = !fenced; next }
FILENAME ~ /\.md$/ { if (fenced) example($0); else if (/^    /) example(substr($0, 5)); else done(); next }
/^\.EX/ { inside = 1; next }
/^\.EE/ { done(); inside = 0; next }
inside { gsub(/\\-/, "-"); gsub(/\\\(aq/, "\047"); gsub(/\\\(dq/, "\""); gsub(/\\&/, ""); gsub(/\\e/, "\\"); example($0) }
END { done(); printf "%d examples, %d without a row\n", examples, failed; exit examples == 0 || failed > 0 }
' "$source/tests/e2e/scenarios.txt" "$source/README.md" "$source/doc/frostgauge.1"

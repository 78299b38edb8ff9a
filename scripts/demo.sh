#!/bin/sh
# Shows the program's main job on the thermometers attached to this machine.
program=${1:-build/frostgauge}
echo "\$ frostgauge -d"
"$program" -d
echo "[exit status $?]"
echo "\$ frostgauge"
"$program"
status=$?
echo
echo "[exit status $status]"

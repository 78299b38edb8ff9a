#pragma once

// The TEMPer sticks sold today enumerate under other USB IDs and answer in
// another format, which read as ours would print a wrong value. They get no
// byte from this program, but a run that finds one and no thermometer says
// so, as a script must tell "this stick is not read" from an empty bus.

// More sticks than one machine carries; the rest are not named.
constexpr int kMostUnreadSticks = 16;

struct UnreadSticks {
    unsigned ids[kMostUnreadSticks];  // vendor << 16 | product
    int count;
};

// Notes a device, once per stick (not per interface), if it is such a
// stick; under -d it is named at once, among the other devices' lines.
void NoteUnreadStick(UnreadSticks* sticks, unsigned vendor, unsigned product);

// After every thermometer's read-out: where none was found, names each stick
// noted (unless -d has) and fails the run. Returns the run's exit status.
int ReportUnreadSticks(const UnreadSticks& sticks, bool thermometerFound, int status);
